#include "credit_ledger.h"

#include "flow.h"

#include <algorithm>

namespace tellurix::lumenfold::transport::detail {

namespace {

// A producer silent this long while others wait for room is asked whether it is still
// there: a grant to a producer that has gone fails, which frees its credit.
constexpr auto probe_after = std::chrono::seconds(1);

} // namespace

CreditLedger::CreditLedger(std::size_t max_bytes, std::size_t max_messages)
    : max_bytes_(static_cast<std::int64_t>(std::max<std::size_t>(max_bytes, 1)))
    , max_messages_(static_cast<std::int64_t>(std::max<std::size_t>(max_messages, 1))) {}

CreditLedger::Peer& CreditLedger::meet(const std::string& peer, std::uint64_t before,
                                       Clock::time_point now) {
    Peer& p = peers_[peer];
    p.base = p.acked = before;
    p.credit_msgs = static_cast<std::int64_t>(initial_window_msgs);
    p.credit_bytes = static_cast<std::int64_t>(initial_window_bytes);
    p.heard = now;
    return p;
}

bool CreditLedger::received(const std::string& peer, std::uint64_t seq, std::size_t bytes,
                            Clock::time_point now) {
    auto it = peers_.find(peer);
    // A producer first met by its data may be spending credit a consumer before this one
    // granted (it kept sending across a restart): what it sends on that credit is taken.
    Peer& p = it != peers_.end() ? it->second : meet(peer, seq > 0 ? seq - 1 : 0, now);
    p.heard = now;
    const auto size = static_cast<std::int64_t>(bytes);
    // Beyond its credit by a whole backlog and an initial credit: no producer that keeps
    // the rules gets here, not even one still spending a window granted before it was cut
    // back, or a previous consumer's.
    if (p.credit_msgs <= -(max_messages_ + static_cast<std::int64_t>(initial_window_msgs)) ||
        p.credit_bytes - size < -(max_bytes_ + static_cast<std::int64_t>(initial_window_bytes))) {
        ++overruns_;
        return false;
    }
    p.credit_msgs -= 1;
    p.credit_bytes -= size;
    if (seq != 0) // a message whose header could not be read says nothing of its place
        p.acked = seq;
    p.backlog_bytes += bytes;
    p.backlog_messages += 1;
    backlog_bytes_ += bytes;
    backlog_messages_ += 1;
    return true;
}

void CreditLedger::released(const std::string& peer, std::size_t bytes) {
    backlog_bytes_ -= std::min(bytes, backlog_bytes_);
    backlog_messages_ -= std::min<std::size_t>(1, backlog_messages_);
    auto it = peers_.find(peer);
    if (it == peers_.end())
        return; // it left while its messages waited
    Peer& p = it->second;
    p.backlog_bytes -= std::min(bytes, p.backlog_bytes);
    p.backlog_messages -= std::min<std::size_t>(1, p.backlog_messages);
}

void CreditLedger::sync(const std::string& peer, std::uint64_t last_seq, bool closing,
                        Clock::time_point now) {
    auto it = peers_.find(peer);
    Peer& p = it != peers_.end() ? it->second : meet(peer, last_seq, now);
    p.heard = now;
    p.asked = true;
    p.closing = p.closing || closing;
    if (!closing && p.waiting_since == Clock::time_point{})
        p.waiting_since = now;
}

std::uint64_t CreditLedger::acked(const std::string& peer) const {
    const auto it = peers_.find(peer);
    return it == peers_.end() ? 0 : it->second.acked;
}

void CreditLedger::gone(const std::string& peer) {
    peers_.erase(peer);
}

Grant CreditLedger::grant_for(const std::string& key, const Peer& p) const {
    Grant g;
    g.peer = key;
    g.base = p.base;
    g.acked = p.acked;
    g.window_msgs = static_cast<std::uint64_t>(std::max<std::int64_t>(p.credit_msgs, 0));
    g.window_bytes = static_cast<std::uint64_t>(std::max<std::int64_t>(p.credit_bytes, 0));
    g.farewell = p.closing;
    return g;
}

void CreditLedger::grants(std::vector<Grant>& out, Clock::time_point now) {
    if (peers_.empty()) {
        held_since_ = Clock::time_point{};
        return;
    }
    // Each producer's share of the backlog, its messages held here and its unused credit
    // together: a flood from one producer leaves room for the others, and an item of a
    // slow producer waits behind at most one backlog of the others'.
    const auto n = static_cast<std::int64_t>(peers_.size());
    const std::int64_t share_bytes = std::max<std::int64_t>(max_bytes_ / n, 1);
    const std::int64_t share_msgs = std::max<std::int64_t>(max_messages_ / n, 1);
    const auto target_bytes = [&](const Peer& p) {
        return std::max<std::int64_t>(share_bytes - static_cast<std::int64_t>(p.backlog_bytes), 0);
    };
    const auto target_msgs = [&](const Peer& p) {
        return std::max<std::int64_t>(share_msgs - static_cast<std::int64_t>(p.backlog_messages),
                                      0);
    };

    // First, credit beyond a producer's share (the initial credit, or a share that shrank
    // as producers came) is cut back to it, so that the shares add up to the bound.
    bool someone_starved = false;
    std::int64_t reserved_bytes = 0, reserved_msgs = 0;
    std::vector<std::string> changed;
    for (auto& [key, p] : peers_) {
        someone_starved = someone_starved || p.credit_bytes <= 0 || p.credit_msgs <= 0 ||
                          p.waiting_since != Clock::time_point{};
        if (!p.closing && (p.credit_bytes > target_bytes(p) || p.credit_msgs > target_msgs(p))) {
            p.credit_bytes = std::min(p.credit_bytes, target_bytes(p));
            p.credit_msgs = std::min(p.credit_msgs, target_msgs(p));
            changed.push_back(key);
        }
        reserved_bytes += std::max<std::int64_t>(p.credit_bytes, 0);
        reserved_msgs += std::max<std::int64_t>(p.credit_msgs, 0);
    }
    std::int64_t room_bytes =
        max_bytes_ - static_cast<std::int64_t>(backlog_bytes_) - reserved_bytes;
    std::int64_t room_msgs =
        max_messages_ - static_cast<std::int64_t>(backlog_messages_) - reserved_msgs;
    // A producer's messages may fill more than its share (it had the backlog to itself
    // before the others came): those just cut back give up what the bound has no room for.
    for (const std::string& key : changed) {
        Peer& p = peers_[key];
        const std::int64_t give_bytes = std::min(std::max<std::int64_t>(p.credit_bytes, 0),
                                                 std::max<std::int64_t>(-room_bytes, 0));
        const std::int64_t give_msgs = std::min(std::max<std::int64_t>(p.credit_msgs, 0),
                                                std::max<std::int64_t>(-room_msgs, 0));
        p.credit_bytes -= give_bytes;
        p.credit_msgs -= give_msgs;
        room_bytes += give_bytes;
        room_msgs += give_msgs;
    }

    // Round robin: the producer served first this time is served last next time.
    auto start = peers_.lower_bound(next_);
    if (start == peers_.end())
        start = peers_.begin();
    auto after = std::next(start);
    next_ = after == peers_.end() ? peers_.begin()->first : after->first;

    bool someone_waits = false;
    std::vector<std::string> leaving;
    auto it = start;
    for (std::size_t visited = 0; visited < peers_.size(); ++visited) {
        const std::string& key = it->first;
        Peer& p = it->second;
        if (p.closing) {
            if (p.asked) {
                p.credit_bytes = p.credit_msgs = 0;
                out.push_back(grant_for(key, p));
                leaving.push_back(key);
            }
        } else {
            const std::int64_t have_bytes = std::max<std::int64_t>(p.credit_bytes, 0);
            const std::int64_t have_msgs = std::max<std::int64_t>(p.credit_msgs, 0);
            // Top up once half the share is used, so that a steady producer never runs dry
            // while the host keeps up, and not after every message.
            std::int64_t add_bytes = 0, add_msgs = 0;
            if (p.asked || have_bytes * 2 <= target_bytes(p) || have_msgs * 2 <= target_msgs(p)) {
                add_bytes =
                    std::max<std::int64_t>(std::min(target_bytes(p) - have_bytes, room_bytes), 0);
                add_msgs =
                    std::max<std::int64_t>(std::min(target_msgs(p) - have_msgs, room_msgs), 0);
            }
            const bool cut = std::find(changed.begin(), changed.end(), key) != changed.end();
            if (add_bytes > 0 || add_msgs > 0 || p.asked || cut) {
                p.credit_bytes = have_bytes + add_bytes;
                p.credit_msgs = have_msgs + add_msgs;
                room_bytes -= add_bytes;
                room_msgs -= add_msgs;
                p.asked = false;
                p.told = now;
                out.push_back(grant_for(key, p));
            }
            if (p.credit_bytes > 0 && p.credit_msgs > 0)
                p.waiting_since = Clock::time_point{};
            else if (p.waiting_since != Clock::time_point{})
                someone_waits = true;
        }
        if (++it == peers_.end())
            it = peers_.begin();
    }
    for (const std::string& key : leaving)
        peers_.erase(key);

    // Producers are held back while one of them has run out of credit and the backlog is
    // too full to give it much: the episode ends once the host has emptied half of it.
    const bool full = 2 * static_cast<std::int64_t>(backlog_bytes_) >= max_bytes_ ||
                      2 * static_cast<std::int64_t>(backlog_messages_) >= max_messages_;
    if (!full)
        held_since_ = Clock::time_point{};
    else if (someone_starved && held_since_ == Clock::time_point{})
        held_since_ = now;

    if (!someone_waits)
        return;
    for (auto& [key, p] : peers_) {
        if (p.credit_bytes > 0 && now - p.heard >= probe_after && now - p.told >= probe_after) {
            p.told = now;
            out.push_back(grant_for(key, p));
        }
    }
}

} // namespace tellurix::lumenfold::transport::detail
