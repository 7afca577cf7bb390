// The built-in producer of `lumenfold-scope --demo`: a thread of the scope's own process
// that connects to the scope's endpoint like any outside producer and streams example
// data using every command word, so a newcomer sees every feature working.
#pragma once

#include <QString>

#include <atomic>
#include <thread>

namespace tellurix::lumenfold::scope {

class DemoProducer {
public:
    /// Starts streaming to `endpoint` at once.
    explicit DemoProducer(QString endpoint);
    /// Stops the thread and waits for it.
    ~DemoProducer();
    DemoProducer(const DemoProducer&) = delete;
    DemoProducer& operator=(const DemoProducer&) = delete;

private:
    void run();

    QString endpoint_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace tellurix::lumenfold::scope
