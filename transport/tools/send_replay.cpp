#include "send_replay.h"

#include <tellurix/lumenfold/recording.h>
#include <tellurix/lumenfold/transport.h>

#include <chrono>
#include <iostream>
#include <thread>

namespace transport = tellurix::lumenfold::transport;

bool send_recording(transport::Producer& producer, const QString& file, double speed) {
    using Clock = std::chrono::steady_clock;
    try {
        transport::RecordingReader reader(file);
        transport::RecordingMessage message;
        Clock::time_point due{};
        std::uint64_t last = 0;
        bool first = true, whole = true;
        while (reader.next(message)) {
            if (speed > 0) {
                const std::uint64_t t = message.receive_time_ns;
                if (first)
                    due = Clock::now();
                else if (t > last)
                    due += std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double, std::nano>(double(t - last) / speed));
                last = t;
                std::this_thread::sleep_until(due);
            }
            first = false;
            std::vector<tellurix::lumenfold::host::Value> items;
            try {
                items = transport::decode(message.bytes.data(), message.bytes.size());
            } catch (const std::exception& e) {
                std::cerr << "lumenfold-send: " << file.toStdString() << ": the message at offset "
                          << message.offset << " is skipped: " << e.what() << '\n';
                whole = false;
                continue;
            }
            if (!producer.send_batch(items))
                whole = false;
        }
        if (reader.cut()) {
            std::cerr << "lumenfold-send: " << file.toStdString() << ": cut short at byte "
                      << reader.cut_offset() << "; the whole messages before it were sent\n";
            whole = false;
        }
        return whole;
    } catch (const std::runtime_error& e) {
        std::cerr << "lumenfold-send: " << e.what() << '\n';
        return false;
    }
}
