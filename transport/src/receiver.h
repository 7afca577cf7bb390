// The receiving thread of a ZmqQueue: it owns the bound socket and the credit ledger,
// reads every message as it arrives, answers producers at once and grants credit as the
// host hands back room. The host's thread only takes the messages it gathered.
#pragma once

#include <tellurix/lumenfold/transport.h>

#include "credit_ledger.h"
#include "handshake_watch.h"
#include "sealed_port.h"
#include "wire.h"
#include "zap.h"

#include <zmq.hpp>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace tellurix::lumenfold::transport::detail {

/// A data message held for the host, undecoded: the host decodes it when it gets there,
/// so the backlog costs the bytes received and no more.
struct Held {
    zmq::message_t body;
    std::string peer;
    std::uint32_t items = 0;
    /// The message within `body`: all of it, or what a sealed message held.
    std::size_t offset = 0, size = 0;

    const char* data() const { return body.data<char>() + offset; }
};

/// Room the host made by taking a message of `peer`.
struct Released {
    std::string peer;
    std::size_t bytes;
};

class Receiver {
public:
    /// Binds `endpoint` (already resolved) and starts the thread. Throws
    /// std::runtime_error naming the endpoint when the bind fails.
    Receiver(const QString& endpoint, const Limits& limits, const Security& security);
    ~Receiver(); // NOLINT(bugprone-exception-escape): see its definition
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    QString endpoint() const { return endpoint_; }
    /// Z85; empty when not secured.
    QString public_key() const { return public_key_; }

    /// Host thread: moves the messages gathered so far to the end of `into`, and the
    /// warnings to report to `warnings`. Waits up to `wait_ms` for a message when none
    /// is there.
    void take(std::deque<Held>& into, std::vector<QString>& warnings, int wait_ms);
    /// Host thread: the room of messages taken goes back to the ledger.
    void release(std::vector<Released>& released);

    void set_tap(ZmqQueue::Tap tap);

    std::atomic<std::uint64_t> messages{0}, bytes{0}, dropped{0};
    std::atomic<std::uint64_t> held_items{0}, held_bytes{0};
    std::atomic<std::size_t> producers{0};
    std::atomic<std::uint64_t> refused_producers{0};
    /// Clock ticks of the ledger's held_back_since(); 0 when nobody waits.
    std::atomic<Clock::rep> held_since{0};

private:
    void run();
    void read_messages(Clock::time_point now);
    void read_sealed(Clock::time_point now);
    // A data message of `peer` joins the backlog, unless it went beyond its credit.
    // `peek`: what peek_message() read of the message's header.
    void accept(std::string peer, zmq::message_t&& body, std::size_t offset, std::size_t size,
                const Peek& peek, Clock::time_point now);
    void on_sync(const std::string& peer, const Sync& sync, Clock::time_point now);
    void on_seal(const std::string& peer);
    // Syncs that waited for sealed messages they count.
    void settle_syncs(Clock::time_point now);
    void answer_producers(Clock::time_point now);
    void note(QString warning);
    void look_at_handshakes(Clock::time_point now);
    int refuse_early(const std::vector<HandshakeFailures::Refusal>& refusals);

    const Limits limits_;
    zmq::context_t context_{1};
    zmq::socket_t socket_{context_, zmq::socket_type::router};
    QString endpoint_;
    QString public_key_;
    // Bound before the socket, so that no producer comes in unasked.
    std::optional<ZapHandler> zap_;
    std::vector<QString> zap_notes_;
    std::optional<HandshakeWatch> watch_;
    // Secured tcp only: where producers that ask for it send their data sealed.
    std::optional<SealedPort> sealed_;
    // A sync of a producer that seals says how far it sent; messages it counts may still
    // be on their way over the other connection. It waits here until they are in (or a
    // while has passed: they were lost), so that a closing producer is told it was heard
    // in full only when it was, and its channel is forgotten only after its last message.
    struct WaitingSync {
        Sync sync;
        Clock::time_point since;
    };
    std::map<std::string, WaitingSync> waiting_syncs_;
    Clock::time_point last_unsealed_note_{};
    Clock::time_point last_refusal_note_{}, last_mechanism_note_{};
    int wake_fd_ = -1;
    std::uint64_t session_ = 0;

    // Receiving thread only.
    CreditLedger ledger_;
    std::vector<Held> arrived_;
    std::vector<host::Value> control_;
    std::set<std::string> refused_;
    std::vector<Grant> grants_;
    std::vector<Released> released_here_;

    // Shared with the host thread.
    std::mutex mutex_;
    std::condition_variable arrival_;
    std::deque<Held> inbox_;
    std::vector<Released> released_;
    std::vector<QString> warnings_;
    ZmqQueue::Tap tap_;
    // The tap as of this round, and messages beyond their producer's credit in it.
    ZmqQueue::Tap round_tap_;
    std::uint64_t beyond_credit_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace tellurix::lumenfold::transport::detail
