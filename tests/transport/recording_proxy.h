// A tcp proxy for one connection that keeps every byte passing through it, both ways:
// what anyone on the path between a producer and its consumer could read.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace queue_test {

// Forwards one connection between a producer and the queue, keeping every byte that passes.
class RecordingProxy {
public:
    explicit RecordingProxy(quint16 target)
        : target_(target) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(listener_, 1), 0);
        socklen_t len = sizeof a;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~RecordingProxy() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    quint16 port() const { return port_; }
    QByteArray recorded() {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }

private:
    void run() {
        pollfd accept_poll{listener_, POLLIN, 0};
        while (!stop_ && ::poll(&accept_poll, 1, 50) <= 0) {
        }
        if (stop_)
            return;
        const int producer = ::accept(listener_, nullptr, nullptr);
        const int consumer = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(target_);
        if (::connect(consumer, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            pollfd fds[2] = {{producer, POLLIN, 0}, {consumer, POLLIN, 0}};
            char buffer[65536];
            while (!stop_) {
                if (::poll(fds, 2, 50) <= 0)
                    continue;
                bool closed = false;
                for (int i = 0; i < 2; ++i) {
                    if (!(fds[i].revents & (POLLIN | POLLHUP)))
                        continue;
                    const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                    if (n <= 0) {
                        closed = true;
                        break;
                    }
                    {
                        std::lock_guard<std::mutex> lock(mutex_);
                        bytes_.append(buffer, static_cast<int>(n));
                    }
                    (void)!::write(fds[1 - i].fd, buffer, static_cast<std::size_t>(n));
                }
                if (closed)
                    break;
            }
        }
        ::close(producer);
        ::close(consumer);
    }

    quint16 target_, port_ = 0;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    QByteArray bytes_;
};

} // namespace queue_test
