// Writes a recording with the C++ RecordingWriter, for the Python reader's tests.
//
//   lumenfold_python_recorder FILE < messages
//
// Standard input holds the messages to record, each as an 8-byte receive time and a
// 4-byte length, both big-endian (the opposite of the file's order, so that a writer
// that copied them through unchanged is caught), then the message bytes. Prints
// "recorded <messages> <bytes written>" once the file is closed.
#include <tellurix/lumenfold/recording.h>

#include <QtEndian>

#include <cstdio>
#include <exception>
#include <vector>

int main(int argc, char** argv) {
    namespace transport = tellurix::lumenfold::transport;
    if (argc != 2) {
        std::fprintf(stderr, "usage: lumenfold_python_recorder FILE < messages\n");
        return 2;
    }
    try {
        transport::RecordingWriter writer(QString::fromLocal8Bit(argv[1]));
        unsigned char head[12];
        std::vector<char> body;
        while (std::fread(head, 1, sizeof head, stdin) == sizeof head) {
            body.resize(qFromBigEndian<quint32>(head + 8));
            if (std::fread(body.data(), 1, body.size(), stdin) != body.size()) {
                std::fprintf(stderr, "lumenfold_python_recorder: input ends inside a message\n");
                return 1;
            }
            writer.append(qFromBigEndian<quint64>(head), body.data(), body.size());
        }
        if (!writer.close())
            return 1;
        std::printf("recorded %llu %llu\n",
                    static_cast<unsigned long long>(writer.messages_written()),
                    static_cast<unsigned long long>(writer.bytes_written()));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lumenfold_python_recorder: %s\n", e.what());
        return 1;
    }
    return 0;
}
