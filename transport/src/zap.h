// The consumer's door keeper: ZeroMQ asks it (over ZAP, the ZeroMQ authentication protocol)
// whether the key a producer proved to hold may come in. It lets in the keys listed in the
// authorized producers file, which it reads again whenever the file changes, so a key added
// there lets its producer in without a restart.
#pragma once

#include <QString>

#include <zmq.hpp>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tellurix::lumenfold::transport::detail {

/// The keys (Z85) of an authorized producers file: one a line; text from `#` on and blank
/// lines are ignored. A line that is not a key is reported in `bad_lines` (1-based).
std::set<std::string> parse_authorized(const QByteArray& text, std::vector<int>* bad_lines);

class ZapHandler {
public:
    /// Answers the ZAP requests of `context`'s sockets. Throws zmq::error_t when another
    /// handler serves that context already.
    ZapHandler(zmq::context_t& context, QString authorized_file);
    ~ZapHandler();

    /// For polling beside other sockets.
    void* handle() { return socket_.handle(); }
    /// Answers every request waiting; never blocks. What is worth telling the user
    /// (a producer refused for the first time, a file that cannot be read) is appended to
    /// `notes`.
    void serve(std::vector<QString>& notes);
    /// A producer refused before ZeroMQ asked here (its handshake failed earlier): told
    /// and counted like a refused key, once per `address` and `what` (a key, or "NULL"
    /// for a producer that does not encrypt). An empty address is one that was gone
    /// before it could be read: such a refusal is told a second later, unless the same
    /// `what` came with an address meanwhile (a producer that tries again, seen then);
    /// when the address comes within 10 s after it was told, it is added to that refusal
    /// rather than told and counted as another producer; when it comes without one
    /// within 10 s after the same `what` came with an address, it is that producer again.
    void refused_early(const std::string& address, const std::string& what, const QString& why,
                       std::vector<QString>& notes);
    /// Distinct producers (address and key) refused so far.
    std::uint64_t refused() const { return refused_.size(); }

private:
    // Reads the file again when it changed since the last look.
    void refresh(std::vector<QString>& notes);
    // Tells the refusals without an address that waited long enough.
    void tell_unplaced(std::vector<QString>& notes);
    bool allowed(const std::string& address, const std::string& mechanism, const std::string& key,
                 std::vector<QString>& notes);

    zmq::socket_t socket_;
    QString file_;
    std::set<std::string> keys_;
    // What the file looked like when last read; all zero: not read (or missing).
    struct timespec mtime_ {};
    std::int64_t size_ = -1;
    std::uint64_t inode_ = 0;
    bool missing_noted_ = false;
    std::set<std::pair<std::string, std::string>> refused_;
    // Refusals without an address, by `what`: when first seen, and why.
    std::map<std::string, std::pair<std::chrono::steady_clock::time_point, QString>> unplaced_;
    // Refusals told without an address, by `what`: when they were told.
    std::map<std::string, std::chrono::steady_clock::time_point> told_unplaced_;
    // When each `what` last came with an address.
    std::map<std::string, std::chrono::steady_clock::time_point> placed_;
};

} // namespace tellurix::lumenfold::transport::detail
