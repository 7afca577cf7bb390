// Lumenfold transport: the wire codec of the command queue, the ZeroMQ queue a host
// drains (ZmqQueue, a host::Queue) and the producer end that feeds it from another
// process (Producer). docs/wire-format.md describes the bytes on the wire.
#pragma once

#include <tellurix/lumenfold/host.h>
#include <tellurix/lumenfold/transport_export.h>

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
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
    std::size_t max_message_bytes = 256u * 1024u * 1024u;
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
};

/// A message that is not a well-formed wire message; what() says why.
class LUMENFOLD_TRANSPORT_EXPORT DecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The wire format version this build writes and the only one it reads.
inline constexpr int wire_version = 1;

/// One message carrying `items` in order: the MessagePack array [1, items...].
/// Throws std::invalid_argument when `items` is empty.
LUMENFOLD_TRANSPORT_EXPORT QByteArray encode(const std::vector<host::Value>& items);
/// One message carrying the single item `item`.
LUMENFOLD_TRANSPORT_EXPORT QByteArray encode_item(const host::Value& item);
/// The items of one message, in order. Throws DecodeError when the message is
/// malformed, uses a feature the format does not have, or exceeds `limits`.
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

// ---------------------------------------------------------------------------
// Consumer
// ---------------------------------------------------------------------------

/// The host's end of the command queue: a ZeroMQ PULL socket bound to an endpoint, to
/// which any number of producers connect. Items from one producer arrive in the order
/// it sent them. Single consumer, single thread (CmdPump on the GUI thread).
///
/// A malformed message is dropped whole with one host::warn and counted; the messages
/// behind it are decoded as usual. Items still in transit when the queue is destroyed
/// are lost.
///
/// Messages are read off the connections as they arrive, whether or not the host has
/// flushed yet, so a producer's items are safe once they reached this side even if the
/// producer exits at once. The price is memory: while the host applies items slower than
/// producers send them, the backlog grows here rather than blocking the producers.
class LUMENFOLD_TRANSPORT_EXPORT ZmqQueue : public host::Queue {
public:
    /// Binds `endpoint` (normalize_endpoint is applied; empty: default_endpoint()).
    /// An ipc socket file left behind by a dead consumer is removed first; one that a
    /// live process still listens on is not. Throws std::runtime_error naming the
    /// endpoint when the bind fails (address in use, bad path, ...).
    explicit ZmqQueue(const QString& endpoint = QString(), const Limits& limits = {});
    ~ZmqQueue() override;
    ZmqQueue(const ZmqQueue&) = delete;
    ZmqQueue& operator=(const ZmqQueue&) = delete;

    /// True when no item is decoded and waiting and no message is waiting on the socket.
    /// Never blocks; decodes the next waiting message when its buffer is empty.
    bool empty() override;
    /// The oldest item; waits for a message while none is there.
    host::Value get() override;

    /// The endpoint actually bound, e.g. the port chosen for "tcp://127.0.0.1:*".
    QString endpoint() const;

    /// Messages received (well-formed or not), items decoded, malformed messages
    /// dropped and bytes received, since construction.
    std::uint64_t messages() const noexcept { return messages_; }
    std::uint64_t items() const noexcept { return items_; }
    std::uint64_t dropped_messages() const noexcept { return dropped_; }
    std::uint64_t bytes() const noexcept { return bytes_; }

private:
    struct Socket;
    // Receives one message; false when none was waiting (and `wait` is false).
    bool receive(bool wait);

    std::unique_ptr<Socket> socket_;
    Limits limits_;
    // The items of the last message decoded; those before next_ are taken.
    std::vector<host::Value> pending_;
    std::size_t next_ = 0;
    std::uint64_t messages_ = 0, items_ = 0, dropped_ = 0, bytes_ = 0;
};

// ---------------------------------------------------------------------------
// Producer
// ---------------------------------------------------------------------------

/// The sending end: a ZeroMQ PUSH socket connected to a consumer's endpoint. Each
/// send() is one message, on its way at once; send_batch() packs many items into few
/// messages, which is how a fast producer reaches its rate.
///
/// Back-pressure: up to `hwm` messages wait in this process while no consumer is there
/// or while the consumer's connection cannot take them as fast as they are sent (a
/// producer started before the host keeps them and delivers them in order once it
/// binds). Beyond that, send() waits by default, so nothing is lost; with drop_when_full
/// it returns false at once and counts the message as dropped. A consumer that is
/// connected reads everything as it comes (see ZmqQueue).
///
/// Not thread-safe: use one Producer per thread.
class LUMENFOLD_TRANSPORT_EXPORT Producer {
public:
    struct Options {
        /// Drop (and count) instead of waiting when `hwm` messages are queued.
        bool drop_when_full = false;
        /// Messages queued for the consumer before send() waits or drops.
        int hwm = 1000;
        /// How long close() waits to hand over what is queued, in milliseconds.
        int linger_ms = 5000;
    };

    Producer();
    explicit Producer(const QString& endpoint);
    Producer(const QString& endpoint, const Options& options);
    /// Closes as close() does; a failure is reported through host::warn.
    ~Producer();
    Producer(const Producer&) = delete;
    Producer& operator=(const Producer&) = delete;

    /// Connects to `endpoint` (normalize_endpoint applied; empty: default_endpoint();
    /// a wildcard address means this machine). Closes a previous connection first.
    /// Throws std::runtime_error when the endpoint is invalid.
    void connect(const QString& endpoint);
    bool connected() const noexcept;

    /// Sends the command item (cmd, data). False when dropped (drop_when_full).
    /// Throws std::logic_error when not connected.
    bool send(const QString& cmd, const host::Value& data);
    /// Sends `item` as it is, whatever its shape.
    bool send_item(const host::Value& item);
    /// Sends `items` in order, packed into messages of up to 4096 items each; a message
    /// is closed early once it reaches 1 MiB, and always within the default limits.
    /// False when any of those messages was dropped.
    bool send_batch(const std::vector<host::Value>& items);

    /// Waits until every message sent has been handed over to the consumer's
    /// connection, at most linger_ms, then disconnects. Returns false (and warns, from
    /// the calling thread) when messages were still queued at the deadline: those are
    /// lost. Idempotent.
    bool close();

    std::uint64_t sent_messages() const noexcept { return sent_; }
    std::uint64_t dropped_messages() const noexcept { return dropped_; }

private:
    struct Socket;
    bool send_message(QByteArray message);

    Options options_;
    std::unique_ptr<Socket> socket_;
    std::uint64_t sent_ = 0, dropped_ = 0;
};

} // namespace tellurix::lumenfold::transport
