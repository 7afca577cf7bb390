// Lumenfold transport: the wire codec of the command queue, the ZeroMQ queue a host
// drains (ZmqQueue, a host::Queue) and the producer end that feeds it from another
// process (Producer). docs/wire-format.md describes the bytes on the wire.
#pragma once

#include <tellurix/lumenfold/host.h>
#include <tellurix/lumenfold/transport_export.h>

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

namespace tellurix::lumenfold::transport {

// ---------------------------------------------------------------------------
// Codec
// ---------------------------------------------------------------------------

/// What decode() accepts from an untrusted peer. Every limit is checked before the
/// memory it guards is allocated, so a hostile header cannot make the decoder reserve
/// more than the message itself justifies.
struct Limits {
    /// Largest message, in bytes.
    std::size_t max_message_bytes = std::size_t{256} * 1024 * 1024;
    /// Deepest nesting of lists and tuples, the message array included. Tuples travel as
    /// extension values whose body is a separate MessagePack document; the depth is one
    /// counter across those bodies too. Never more than 1024, whatever is set here: the
    /// decoder descends one level of recursion per level of nesting.
    std::size_t max_depth = 32;
    /// Most elements in one list or tuple (the message array included).
    std::size_t max_array_elements = 1'000'000;
    /// Most decoded values in one message, containers and scalars alike. Packed arrays
    /// count as one value each; their size is bounded by the message size only.
    std::size_t max_total_values = 4'000'000;

    /// The consumer's backlog: what it holds of messages received but not yet taken by the
    /// host, plus the credit it has granted producers and they have not used yet. Producers
    /// send only within their credit, so these bound the host's memory for messages
    /// whatever the producers do; once the backlog is full, producers are held back.
    /// A single message larger than a producer's share may pass the byte bound by itself.
    std::size_t max_backlog_bytes = std::size_t{64} * 1024 * 1024;
    /// Most messages in the backlog (at least 1).
    std::size_t max_backlog_messages = 65'536;
};

/// A message that is not a well-formed wire message; what() says why.
class LUMENFOLD_TRANSPORT_EXPORT DecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The wire format version this build writes and the only one it reads.
inline constexpr int wire_version = 2;

/// One data message carrying `items` in order: the MessagePack array
/// [2, seq, items...]. Throws std::invalid_argument when `items` is empty.
LUMENFOLD_TRANSPORT_EXPORT QByteArray encode(const std::vector<host::Value>& items,
                                             std::uint64_t seq = 0);
/// One data message carrying the single item `item`.
LUMENFOLD_TRANSPORT_EXPORT QByteArray encode_item(const host::Value& item, std::uint64_t seq = 0);
/// The items of one data message, in order. Throws DecodeError when the message is
/// malformed, is a control message, uses a feature the format does not have, or exceeds
/// `limits`.
LUMENFOLD_TRANSPORT_EXPORT std::vector<host::Value> decode(const char* data, std::size_t size,
                                                           const Limits& limits = {});
inline std::vector<host::Value> decode(const QByteArray& message, const Limits& limits = {}) {
    return decode(message.constData(), static_cast<std::size_t>(message.size()), limits);
}

/// Tunes this process's C library allocator for a stream of large messages (traces of
/// tens of kilobytes and more): freed memory up to 64 MiB is kept for the next message
/// instead of being returned to the system, and blocks up to 16 MiB come from the heap.
/// Without it, each large message costs several page faults in the receiving process.
/// Process-wide, so it is the host program's choice: lumenfold-scope calls it at start-up.
/// Returns false where the C library offers no such tuning (or ignores it).
LUMENFOLD_TRANSPORT_EXPORT bool keep_memory_for_large_messages();

// ---------------------------------------------------------------------------
// Endpoints
// ---------------------------------------------------------------------------

/// The endpoint both ends use when none is given: ipc://$XDG_RUNTIME_DIR/lumenfold.ipc
/// when that variable names an existing directory, else
/// ipc:///tmp/lumenfold-<uid>/queue.ipc. A directory named lumenfold-<uid> holding an ipc
/// endpoint must belong to this user and be closed to everyone else: ZmqQueue makes it
/// (mode 0700) when it is missing, and ZmqQueue and Producer refuse it (std::runtime_error)
/// when someone else made it or it is open to others.
LUMENFOLD_TRANSPORT_EXPORT QString default_endpoint();

/// The ZeroMQ form of an endpoint a user typed. An empty text gives default_endpoint();
/// a bare port ("5555") or a tcp endpoint without an address ("tcp://:5555") becomes
/// tcp://127.0.0.1:PORT, so nothing listens beyond this machine unless asked to;
/// "tcp://*:PORT" and "tcp://0.0.0.0:PORT" are kept as given (all interfaces);
/// an absolute path becomes an ipc endpoint. Anything else is returned unchanged.
/// A tcp port outside 1-65535 (0 and 70000 alike; "*" is fine) throws
/// std::runtime_error naming the endpoint and the port, so ZmqQueue and Producer refuse
/// it too.
LUMENFOLD_TRANSPORT_EXPORT QString normalize_endpoint(const QString& endpoint);

/// True when `endpoint` (normalized) can be reached from other machines: any network
/// transport whose address is not the loopback one (127.0.0.0/8, ::1, localhost), the
/// wildcards "*" and 0.0.0.0 included. ipc and inproc endpoints are this machine's.
LUMENFOLD_TRANSPORT_EXPORT bool reaches_beyond_this_machine(const QString& endpoint);

// ---------------------------------------------------------------------------
// Security
// ---------------------------------------------------------------------------

/// How a consumer lets producers in. With a key file, the connection is encrypted and
/// authenticated (ZeroMQ's CURVE): only producers whose public keys are listed in the
/// authorized producers file get in. docs/wire-format.md, "Security", tells the details.
struct Security {
    /// The consumer's secret key (Z85, one line), readable by its owner only; made on
    /// first use, with its public half beside it as <key_file>.pub. Empty: no encryption.
    QString key_file;
    /// The public keys (Z85) of the producers let in, one a line, `#` starts a comment.
    /// Read again whenever it changes; a missing file lets nobody in.
    QString authorized_producers;
    /// Listen beyond this machine without encryption (a network the user trusts).
    /// Without it, such an endpoint is refused when key_file is empty.
    bool allow_insecure_network = false;
};

/// Writes a fresh CURVE key pair: the secret key to `path` (mode 0600, replaced when it
/// exists) and its public half to `path`.pub. Returns the public key (Z85). Throws
/// std::runtime_error naming the file when it cannot be written, or when ZeroMQ was built
/// without CURVE.
LUMENFOLD_TRANSPORT_EXPORT QString write_key_pair(const QString& path);

// ---------------------------------------------------------------------------
// Consumer
// ---------------------------------------------------------------------------

/// The host's end of the command queue: a ZeroMQ ROUTER socket bound to an endpoint, to
/// which any number of producers connect. Items from one producer arrive in the order
/// it sent them. Single consumer, single thread (CmdPump on the GUI thread).
///
/// Flow control: producers send only within the credit this queue grants them, and it
/// grants no more than Limits::max_backlog_bytes and max_backlog_messages allow, less
/// what it already holds. The host's memory for messages received but not yet taken is so
/// bounded whatever the producers do, and producers that outrun the host are held back at
/// their end. Each producer gets a fair share of the backlog. A thread of the queue's own
/// reads the socket, answers producers at once (a closing producer learns without delay
/// that everything it sent is held here) and grants credit as the host takes items.
///
/// A malformed message is dropped whole with one host::warn and counted; the messages
/// behind it are decoded as usual. Items still held when the queue is destroyed are lost.
class LUMENFOLD_TRANSPORT_EXPORT ZmqQueue : public host::Queue {
public:
    /// Binds `endpoint` (normalize_endpoint is applied; empty: default_endpoint()).
    /// An ipc socket file left behind by a dead consumer is removed first; one that a
    /// live process still listens on is not. Throws std::runtime_error naming the
    /// endpoint when the bind fails (address in use, bad path, ...).
    ///
    /// Listening beyond this machine (see reaches_beyond_this_machine) without encryption
    /// is refused (std::runtime_error) unless `security` allows it.
    explicit ZmqQueue(const QString& endpoint = QString(), const Limits& limits = {});
    /// The same, secured as `security` says. Throws std::runtime_error when the key file
    /// cannot be made or read, or others may read it.
    ZmqQueue(const QString& endpoint, const Limits& limits, const Security& security);
    ~ZmqQueue() override;
    ZmqQueue(const ZmqQueue&) = delete;
    ZmqQueue& operator=(const ZmqQueue&) = delete;

    /// True when no item is decoded and waiting and no message is waiting on the socket.
    /// Never blocks; reads what has arrived and answers producers.
    bool empty() override;
    /// The oldest item; waits for a message while none is there.
    host::Value get() override;

    /// The endpoint actually bound, e.g. the port chosen for "tcp://127.0.0.1:*".
    QString endpoint() const;

    /// Messages received (well-formed or not, control messages excluded), items decoded,
    /// messages dropped (malformed, or sent beyond a producer's credit) and bytes
    /// received, since construction.
    std::uint64_t messages() const noexcept;
    std::uint64_t items() const noexcept { return items_; }
    std::uint64_t dropped_messages() const noexcept;
    std::uint64_t bytes() const noexcept;

    /// What is held now and not yet taken: items (those of messages not yet decoded
    /// counted from their headers), and the bytes of the messages they came in.
    std::uint64_t backlog_items() const noexcept;
    std::uint64_t backlog_bytes() const noexcept;
    /// Producers known to this queue (connected and announced, not yet closed).
    std::size_t producers() const noexcept;
    /// How long some producer has been held back, waiting for credit the backlog has no
    /// room for; zero when none waits.
    std::chrono::milliseconds held_back_for() const;

    /// This consumer's public key (Z85), for producers to connect with; empty when the
    /// queue is not secured.
    QString public_key() const;
    /// Producers refused by a secured queue: distinct pairs of address and key (or of
    /// address and a producer that does not encrypt), each also reported once through
    /// host::warn.
    std::uint64_t refused_producers() const noexcept;

    /// Called with each data message as it arrives, before it joins the backlog: its
    /// bytes exactly as received and the receive time (nanoseconds since the Unix epoch).
    /// For recording a stream. It runs on the queue's receiving thread, not the host's,
    /// so it must be thread-safe and quick. Empty function: none.
    using Tap = std::function<void(const char* data, std::size_t size, std::int64_t time_ns)>;
    void set_tap(Tap tap);

private:
    struct Flow;
    // Takes the oldest message held: a small one is decoded whole into pending_, a big one
    // is checked whole first and then built into pending_ a slice at a time as get() asks.
    void take_message();
    // Hands the room of the messages taken back to the receiving thread and shows its
    // warnings.
    void settle();

    std::unique_ptr<Flow> flow_;
    Limits limits_;
    // The items decoded and not yet handed out (a whole small message or one slice of a
    // big one); those before next_ are taken.
    std::vector<host::Value> pending_;
    std::size_t next_ = 0;
    std::uint64_t items_ = 0, dropped_here_ = 0;
};

// ---------------------------------------------------------------------------
// Producer
// ---------------------------------------------------------------------------

/// The sending end: a ZeroMQ DEALER socket connected to a consumer's endpoint. Each
/// send() is one message, on its way at once when the consumer has granted room for it;
/// send_batch() packs many items into few messages, which is how a fast producer reaches
/// its rate.
///
/// Flow control: the consumer grants credit (messages and bytes it has room for) and this
/// producer sends only within it. Without credit, because the consumer is behind, not yet
/// there or restarting, send() waits by default, so nothing is lost; with drop_when_full it
/// returns false at once and counts the message as dropped. Credit arrives while send()
/// or close() runs.
///
/// Not thread-safe: use one Producer per thread.
class LUMENFOLD_TRANSPORT_EXPORT Producer {
public:
    struct Options {
        /// Drop (and count) instead of waiting when the consumer has granted no room.
        bool drop_when_full = false;
        /// Messages ZeroMQ may queue in this process for the connection (within the
        /// credit granted) before send() waits or drops.
        int hwm = 1000;
        /// How long close() waits for the consumer to confirm it holds everything, in
        /// milliseconds.
        int linger_ms = 5000;
        /// The consumer's public key (Z85): encrypts the connection, and proves this
        /// producer's key to a secured consumer. Empty: no encryption.
        QString server_key;
        /// This producer's secret key file (as Security::key_file: owner-only, made on first
        /// use with its public half in <key_file>.pub). Empty with a server_key: a fresh key
        /// each connection, which a secured consumer does not know.
        QString key_file;
    };

    Producer();
    explicit Producer(const QString& endpoint);
    Producer(const QString& endpoint, const Options& options);
    /// Closes as close() does; a failure is reported through host::warn.
    ~Producer();
    Producer(const Producer&) = delete;
    Producer& operator=(const Producer&) = delete;

    /// Connects to `endpoint` (normalize_endpoint applied; empty: default_endpoint();
    /// a wildcard address means this machine) and asks the consumer for credit. Closes a
    /// previous connection first. Throws std::runtime_error when the endpoint is invalid.
    void connect(const QString& endpoint);
    bool connected() const noexcept;

    /// Sends the command item (cmd, data). False when dropped (drop_when_full).
    /// Throws std::logic_error when not connected, std::runtime_error when the consumer
    /// refused this producer (it speaks another version of the format, does not know this
    /// producer's key, or one end encrypts and the other does not). connect() again starts
    /// afresh.
    bool send(const QString& cmd, const host::Value& data);
    /// Sends `item` as it is, whatever its shape.
    bool send_item(const host::Value& item);
    /// Sends `items` in order, packed into messages of up to 4096 items each; a message
    /// is closed early once it reaches 1 MiB, and always within the default limits.
    /// False when any of those messages was dropped.
    bool send_batch(const std::vector<host::Value>& items);

    /// Asks the consumer to confirm that it holds every item sent, waits for the answer
    /// at most linger_ms, then disconnects. True only when the consumer confirmed them
    /// all and none was lost to a consumer restart; otherwise false, with a warning (from
    /// the calling thread) that says how many items were not confirmed. Idempotent.
    bool close();

    std::uint64_t sent_messages() const noexcept { return sent_; }
    std::uint64_t dropped_messages() const noexcept { return dropped_; }
    /// Items sent whose receipt the consumer has confirmed.
    std::uint64_t confirmed_items() const noexcept { return confirmed_; }
    /// Items sent that a restarted consumer never received and the one before it never
    /// confirmed: lost in transit when the consumer went away.
    std::uint64_t lost_items() const noexcept { return lost_; }
    /// Items sent and not yet confirmed (nor known lost).
    std::uint64_t unconfirmed_items() const noexcept;
    /// How often the consumer was seen to restart (a new consumer answered).
    std::uint64_t consumer_restarts() const noexcept { return restarts_; }
    /// This producer's public key (Z85) on the current connection; empty when it does not
    /// encrypt.
    QString public_key() const { return public_key_; }

private:
    struct Socket;
    bool send_message(QByteArray message, std::size_t items);
    // Reads the consumer's answers, waiting at most `wait_ms` for the first.
    void read_answers(int wait_ms);
    void request_sync(bool closing);
    // The sealed data connection of a secured producer: asking for it, and the steps
    // until it is used.
    void ask_for_seal();
    void advance_sealed();

    Options options_;
    QString public_key_;
    std::unique_ptr<Socket> socket_;
    std::uint64_t sent_ = 0, dropped_ = 0, confirmed_ = 0, lost_ = 0, restarts_ = 0;
};

} // namespace tellurix::lumenfold::transport
