// The wire encoder. Encoding goes through msgpack-cxx's packer except for floats, which
// the packer would shorten to integers when they are whole.
#include <tellurix/lumenfold/transport.h>

#include "codec_ext.h"
#include "wire.h"

#include <QtEndian>

#include <msgpack.hpp>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

namespace tellurix::lumenfold::transport {

namespace {

using detail::ExtComplex;
using detail::ExtComplexArray;
using detail::ExtFloatArray;
using detail::ExtTuple;
using detail::ExtType;
using host::Value;

[[noreturn]] void throw_too_deep() {
    throw std::invalid_argument("transport::encode: a value nested more than " +
                                std::to_string(detail::max_nesting - 1) +
                                " lists and tuples deep cannot be sent (no consumer reads "
                                "a message deeper than " +
                                std::to_string(detail::max_nesting) + " levels)");
}

// The packer's stream: one growing QByteArray written through a plain pointer, so
// that the many small writes of a record cost a compare and a copy each.
class ByteSink {
public:
    // Writes into `buffer` when it is not shared and holds `reserve` bytes already.
    ByteSink(std::size_t reserve, QByteArray buffer) {
        reserve = std::max<std::size_t>(reserve, 64);
        if (buffer.isDetached() && static_cast<std::size_t>(buffer.capacity()) >= reserve) {
            bytes_ = std::move(buffer);
            capacity_ = static_cast<std::size_t>(bytes_.capacity());
            bytes_.resize(static_cast<int>(capacity_));
            data_ = bytes_.data();
        } else {
            grow_to(reserve);
        }
    }

    void write(const char* data, std::size_t size) { std::memcpy(extend(size), data, size); }
    // Room for `size` more bytes at the end, to be written by the caller.
    char* extend(std::size_t size) {
        if (size > capacity_ - size_)
            grow_to(std::max(size_ + size, capacity_ * 2));
        char* at = data_ + size_;
        size_ += size;
        return at;
    }
    std::size_t size() const { return size_; }
    char* data() { return data_; }
    void chop_to(std::size_t size) { size_ = size; }
    QByteArray take() {
        bytes_.resize(static_cast<int>(size_));
        return std::move(bytes_);
    }

private:
    void grow_to(std::size_t capacity) {
        if (capacity > static_cast<std::size_t>(std::numeric_limits<int>::max()))
            throw std::invalid_argument("transport::encode: message too large");
        bytes_.resize(static_cast<int>(capacity));
        data_ = bytes_.data();
        capacity_ = capacity;
    }

    QByteArray bytes_;
    char* data_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0;
};

class Encoder {
public:
    explicit Encoder(std::size_t reserve, QByteArray buffer = QByteArray())
        : sink_(reserve, std::move(buffer)) {}

    // The array header of a message of `count` items, the version marker and the
    // message's sequence number.
    void start(std::size_t count, std::uint64_t seq) {
        if (count == 0)
            throw std::invalid_argument("transport::encode: a message needs at least one item");
        if (count >= std::numeric_limits<std::uint32_t>::max() - 2)
            throw std::invalid_argument("transport::encode: too many items for one message");
        if (seq > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            throw std::invalid_argument("transport::encode: sequence number out of range");
        packer_.pack_array(static_cast<std::uint32_t>(count + 2));
        packer_.pack_int(wire_version);
        packer_.pack_uint64(seq);
        values_ = 3;
        depth_ = 1;
    }

    void message(const std::vector<Value>& items, std::uint64_t seq) {
        start(items.size(), seq);
        for (const Value& item : items)
            value(item);
    }

    void item(const Value& v) { value(v); }

    // A control message: a plain array whose first element is the control word.
    void control(const std::vector<Value>& elements) {
        packer_.pack_array(length(static_cast<qsizetype>(elements.size()), "control message"));
        depth_ = 1;
        for (const Value& e : elements)
            value(e);
    }

    // Drops what was written after the first `size` bytes.
    void chop_to(std::size_t size) { sink_.chop_to(size); }

    // Makes the message header of start() count `count` items instead, in the same
    // header form: a shorter count may then sit in a wider form than it needs, which is
    // still a MessagePack array.
    void restart(std::size_t count) {
        const auto n = static_cast<std::uint32_t>(count + 2);
        auto* header = reinterpret_cast<unsigned char*>(sink_.data());
        if (header[0] == 0xdc) {
            qToBigEndian(static_cast<quint16>(n), header + 1);
        } else if (header[0] == 0xdd) {
            qToBigEndian(static_cast<quint32>(n), header + 1);
        } else {
            header[0] = static_cast<unsigned char>(0x90u | n);
        }
    }

    // What the message so far takes, counted as a decoder counts it.
    std::size_t size() const { return sink_.size(); }
    std::size_t values() const { return values_; }

    QByteArray take() { return sink_.take(); }

private:
    static std::uint32_t length(qsizetype size, const char* what) {
        if (size < 0 ||
            static_cast<std::uint64_t>(size) > std::numeric_limits<std::uint32_t>::max())
            throw std::invalid_argument(std::string("transport::encode: ") + what +
                                        " too large for one message");
        return static_cast<std::uint32_t>(size);
    }

    static void float64_at(double d, char* out) {
        out[0] = static_cast<char>(0xcb);
        quint64 bits;
        std::memcpy(&bits, &d, sizeof bits);
        qToBigEndian(bits, out + 1);
    }

    void float64(double d) { float64_at(d, sink_.extend(9)); }

    template <typename T> void packed(ExtType type, const QVector<T>& data) {
        static_assert(sizeof(T) % sizeof(double) == 0);
        const std::size_t count = static_cast<std::size_t>(data.size()) * (sizeof(T) / 8);
        const std::uint32_t size = length(static_cast<qsizetype>(count) * 8, "packed array");
        packer_.pack_ext(size, type);
        qToLittleEndian<double>(data.constData(), static_cast<qsizetype>(count),
                                sink_.extend(size));
    }

    // UTF-8 has no form for half a surrogate pair: Qt would write '?' in its place and
    // the consumer would receive other text than was sent. Such a string is refused.
    static void refuse_lone_surrogate(const QString& text) {
        const QChar* chars = text.constData();
        const int n = text.size();
        for (int i = 0; i < n; ++i) {
            if (!chars[i].isSurrogate())
                continue;
            if (chars[i].isHighSurrogate() && i + 1 < n && chars[i + 1].isLowSurrogate()) {
                ++i;
                continue;
            }
            constexpr int shown = 40;
            const QString quoted = host::quoted_form(text.left(shown)) +
                                   (n > shown ? QStringLiteral("...") : QString());
            throw std::invalid_argument(
                QStringLiteral("transport::encode: string %1 holds a lone surrogate U+%2 at "
                               "index %3, which is not valid text and cannot be sent")
                    .arg(quoted,
                         QString::number(chars[i].unicode(), 16).toUpper().rightJustified(4, '0'))
                    .arg(i)
                    .toStdString());
        }
    }

    void str(const QString& text) {
        // Command words and column names are short ASCII; spare them the UTF-8 buffer.
        constexpr int short_text = 64;
        if (text.size() <= short_text) {
            char ascii[short_text];
            const QChar* chars = text.constData();
            int n = 0;
            while (n < text.size() && chars[n].unicode() < 0x80) {
                ascii[n] = static_cast<char>(chars[n].unicode());
                ++n;
            }
            if (n == text.size()) {
                packer_.pack_str(static_cast<std::uint32_t>(n));
                packer_.pack_str_body(ascii, static_cast<std::uint32_t>(n));
                return;
            }
        }
        refuse_lone_surrogate(text);
        const QByteArray utf8 = text.toUtf8();
        const std::uint32_t size = length(utf8.size(), "string");
        packer_.pack_str(size);
        packer_.pack_str_body(utf8.constData(), size);
    }

    void sequence(const std::vector<Value>& items) {
        packer_.pack_array(length(static_cast<qsizetype>(items.size()), "list"));
        const Value* it = items.data();
        const Value* const end = it + items.size();
        while (it != end) {
            // Runs of floats, the bulk of records, are written in one stretch of the
            // buffer without a capacity check or a dispatch each.
            const Value* run = it;
            while (run != end && run->kind() == Value::Kind::Float)
                ++run;
            if (run != it) {
                char* out = sink_.extend(9 * static_cast<std::size_t>(run - it));
                values_ += static_cast<std::size_t>(run - it);
                for (; it != run; ++it, out += 9)
                    float64_at(it->as_float(), out);
            }
            if (it != end)
                value(*it++);
        }
    }

    // The body of a tuple is its own MessagePack array; its length is known only once it
    // is written, so room for the widest header is kept and the body moved back over
    // what a narrower header leaves free.
    void tuple(const std::vector<Value>& items) {
        constexpr std::size_t wide = 6; // ext 32: marker, 4 length bytes, type
        const std::size_t header_at = sink_.size();
        sink_.extend(wide);
        sequence(items);
        const std::size_t body_at = header_at + wide;
        const std::uint32_t body = length(static_cast<qsizetype>(sink_.size() - body_at), "tuple");

        struct Header {
            char bytes[wide];
            std::size_t size = 0;
            void write(const char* data, std::size_t n) {
                std::memcpy(bytes + size, data, n);
                size += n;
            }
        } header;
        msgpack::packer<Header> hp(header);
        hp.pack_ext(body, ExtTuple);
        char* base = sink_.data();
        std::memcpy(base + header_at, header.bytes, header.size);
        if (header.size < wide) {
            std::memmove(base + header_at + header.size, base + body_at, body);
            sink_.chop_to(header_at + header.size + body);
        }
    }

    void value(const Value& v) {
        ++values_;
        switch (v.kind()) {
        case Value::Kind::None:
            packer_.pack_nil();
            return;
        case Value::Kind::Bool:
            v.as_bool() ? packer_.pack_true() : packer_.pack_false();
            return;
        case Value::Kind::Int:
            packer_.pack_int64(v.as_int());
            return;
        case Value::Kind::Float:
            float64(v.as_float());
            return;
        case Value::Kind::Complex: {
            const std::complex<double> c = v.as_complex();
            const double parts[2] = {c.real(), c.imag()};
            char body[16];
            qToLittleEndian<double>(parts, 2, body);
            packer_.pack_ext(sizeof body, ExtComplex);
            packer_.pack_ext_body(body, sizeof body);
            return;
        }
        case Value::Kind::Str:
            str(v.as_str());
            return;
        case Value::Kind::Bytes: {
            const QByteArray& b = v.as_bytes();
            const std::uint32_t size = length(b.size(), "byte string");
            packer_.pack_bin(size);
            packer_.pack_bin_body(b.constData(), size);
            return;
        }
        case Value::Kind::List:
            descend();
            sequence(v.items());
            --depth_;
            return;
        case Value::Kind::Tuple:
            descend();
            tuple(v.items());
            --depth_;
            return;
        case Value::Kind::FloatArray:
            packed(ExtFloatArray, v.as_float_array());
            return;
        case Value::Kind::ComplexArray:
            packed(ExtComplexArray, v.as_complex_array());
            return;
        }
    }

    // Each level is a few frames of recursion here, and no consumer would read a message
    // nested deeper anyway.
    void descend() {
        if (++depth_ > detail::max_nesting)
            throw_too_deep();
    }

    ByteSink sink_;
    msgpack::packer<ByteSink> packer_{sink_};
    std::size_t values_ = 0;
    std::size_t depth_ = 1;
};

// An upper bound of the bytes `v` takes on the wire, to size the buffer once; `depth`:
// the level `v` sits at when it is a container. Walks containers, so it is meant for
// single items.
std::size_t size_bound(const Value& v, std::size_t depth) {
    switch (v.kind()) {
    case Value::Kind::Str:
        return 5 + 3 * static_cast<std::size_t>(v.as_str().size());
    case Value::Kind::Bytes:
        return 5 + static_cast<std::size_t>(v.as_bytes().size());
    case Value::Kind::List:
    case Value::Kind::Tuple: {
        if (depth > detail::max_nesting)
            throw_too_deep();
        std::size_t n = 11;
        for (const Value& e : v.items())
            n += size_bound(e, depth + 1);
        return n;
    }
    case Value::Kind::FloatArray:
        return 6 + 8 * static_cast<std::size_t>(v.as_float_array().size());
    case Value::Kind::ComplexArray:
        return 6 + 16 * static_cast<std::size_t>(v.as_complex_array().size());
    default:
        return 18;
    }
}

} // namespace

QByteArray encode(const std::vector<host::Value>& items, std::uint64_t seq) {
    Encoder encoder(items.size() == 1 ? size_bound(items.front(), 2) + 16 : 64 * items.size());
    encoder.message(items, seq);
    return encoder.take();
}

QByteArray encode_item(const host::Value& item, std::uint64_t seq) {
    Encoder encoder(size_bound(item, 2) + 16);
    encoder.start(1, seq);
    encoder.item(item);
    return encoder.take();
}

namespace detail {

std::size_t size_bound(const host::Value& item) {
    return transport::size_bound(item, 2) + 16;
}

QByteArray encode_one(const host::Value& item, std::uint64_t seq, std::size_t size,
                      QByteArray buffer) {
    Encoder encoder(size, std::move(buffer));
    encoder.start(1, seq);
    encoder.item(item);
    return encoder.take();
}

QByteArray encode_prefix(const host::Value* items, std::size_t count, std::uint64_t seq,
                         const Limits& limits, std::size_t target_bytes, std::size_t size_hint,
                         QByteArray buffer, std::size_t& taken) {
    Encoder encoder(size_hint, std::move(buffer));
    encoder.start(count, seq);
    taken = count;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t before = encoder.size();
        encoder.item(items[i]);
        if (i > 0 && (encoder.size() > limits.max_message_bytes ||
                      encoder.values() > limits.max_total_values)) {
            encoder.chop_to(before);
            taken = i;
            break;
        }
        if (encoder.size() >= target_bytes) {
            taken = i + 1;
            break;
        }
    }
    if (taken != count)
        encoder.restart(taken);
    return encoder.take();
}

QByteArray encode_control(const std::vector<host::Value>& elements) {
    Encoder encoder(64);
    encoder.control(elements);
    return encoder.take();
}

} // namespace detail

} // namespace tellurix::lumenfold::transport
