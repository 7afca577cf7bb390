// The consumer's bookkeeping of flow control: how much of the backlog each producer fills,
// how much credit each may still use, and whom to grant more. It holds no sockets, so
// that the policy can be tested on its own; ZmqQueue feeds it what arrives and sends the
// grants it hands out.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tellurix::lumenfold::transport::detail {

using Clock = std::chrono::steady_clock;

/// What the consumer tells one producer: it holds every message of the producer's up to
/// `acked`, never received any up to `base`, and the producer may have `window_msgs`
/// messages of `window_bytes` bytes in all on their way beyond `acked`.
struct Grant {
    std::string peer;
    std::uint64_t base = 0, acked = 0;
    std::uint64_t window_msgs = 0, window_bytes = 0;
    /// The producer said it leaves: this grant closes its account.
    bool farewell = false;
};

class CreditLedger {
public:
    CreditLedger(std::size_t max_bytes, std::size_t max_messages);

    /// A data message of `bytes`, sequence number `seq`, arrived from `peer`. False when
    /// the peer has gone so far beyond its credit that the message must be dropped;
    /// otherwise the message joins the backlog.
    bool received(const std::string& peer, std::uint64_t seq, std::size_t bytes,
                  Clock::time_point now);
    /// A message of `peer` left the backlog (taken by the host or dropped as malformed).
    void released(const std::string& peer, std::size_t bytes);
    /// `peer` asks where it stands, having sent up to `last_seq`; `closing`: it leaves
    /// once answered.
    void sync(const std::string& peer, std::uint64_t last_seq, bool closing, Clock::time_point now);
    /// `peer` cannot be reached any more: its unused credit returns to the pool.
    void gone(const std::string& peer);

    /// Appends the grants to send now: answers to syncs, top-ups for producers whose credit
    /// runs low while there is room, and, when room is short, a repeat to producers silent
    /// for a while (a send to a producer that has gone fails, and gone() frees its credit).
    void grants(std::vector<Grant>& out, Clock::time_point now);

    /// The newest message of `peer` received (0: none, or an unknown peer).
    std::uint64_t acked(const std::string& peer) const;

    std::size_t backlog_bytes() const noexcept { return backlog_bytes_; }
    std::size_t backlog_messages() const noexcept { return backlog_messages_; }
    std::size_t producers() const noexcept { return peers_.size(); }
    /// Since when producers have been held back: one of them ran out of credit while the
    /// backlog was at least half full, and the host has not emptied it to below half
    /// since. Clock's epoch (time_point{}) when they are not.
    Clock::time_point held_back_since() const noexcept { return held_since_; }
    /// Messages dropped for going beyond their credit.
    std::uint64_t overruns() const noexcept { return overruns_; }

private:
    struct Peer {
        std::uint64_t base = 0, acked = 0;
        // Credit left, as the producer sees it once our last grant reached it; below zero
        // while a producer first met mid-stream uses what a previous consumer granted.
        std::int64_t credit_msgs = 0, credit_bytes = 0;
        std::size_t backlog_bytes = 0, backlog_messages = 0;
        bool asked = false, closing = false;
        Clock::time_point heard{}, told{}, waiting_since{};
    };

    Peer& meet(const std::string& peer, std::uint64_t before, Clock::time_point now);
    Grant grant_for(const std::string& key, const Peer& p) const;

    const std::int64_t max_bytes_, max_messages_;
    std::map<std::string, Peer> peers_;
    std::string next_; // where the next round of top-ups starts, for fairness
    std::size_t backlog_bytes_ = 0, backlog_messages_ = 0;
    Clock::time_point held_since_{};
    std::uint64_t overruns_ = 0;
};

} // namespace tellurix::lumenfold::transport::detail
