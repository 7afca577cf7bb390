#include "send_buffers.h"

namespace tellurix::lumenfold::transport {

zmq::message_t to_frame(QByteArray&& bytes, Recycler& recycler) {
    zmq::message_t frame;
    if (bytes.size() >= zero_copy_bytes) {
        auto* lent = new Lent{std::move(bytes), &recycler};
        frame.rebuild(const_cast<char*>(lent->bytes.constData()),
                      static_cast<std::size_t>(lent->bytes.size()), &Lent::release, lent);
    } else {
        frame.rebuild(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        recycler.give(std::move(bytes));
    }
    return frame;
}

} // namespace tellurix::lumenfold::transport
