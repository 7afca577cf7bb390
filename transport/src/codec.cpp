// The wire codec. Encoding goes through msgpack-cxx's packer except for floats, which
// the packer would shorten to integers when they are whole. Decoding reads the bytes
// straight into host::Value (no object tree, no parser state per tuple body), so every
// limit is enforced before the memory it guards is taken.
#include <tellurix/lumenfold/transport.h>

#include "wire.h"

#include <QTextCodec>
#include <QtEndian>

#include <msgpack.hpp>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

namespace tellurix::lumenfold::transport {

namespace {

using host::Value;

enum ExtType : std::int8_t { ExtTuple = 1, ExtComplex = 2, ExtFloatArray = 3, ExtComplexArray = 4 };

// ---------------------------------------------------------------------------
// Encoding
// ---------------------------------------------------------------------------

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
            sequence(v.items());
            return;
        case Value::Kind::Tuple:
            tuple(v.items());
            return;
        case Value::Kind::FloatArray:
            packed(ExtFloatArray, v.as_float_array());
            return;
        case Value::Kind::ComplexArray:
            packed(ExtComplexArray, v.as_complex_array());
            return;
        }
    }

    ByteSink sink_;
    msgpack::packer<ByteSink> packer_{sink_};
    std::size_t values_ = 0;
};

// An upper bound of the bytes `v` takes on the wire, to size the buffer once. Walks
// containers, so it is meant for single items.
std::size_t size_bound(const Value& v) {
    switch (v.kind()) {
    case Value::Kind::Str:
        return 5 + 3 * static_cast<std::size_t>(v.as_str().size());
    case Value::Kind::Bytes:
        return 5 + static_cast<std::size_t>(v.as_bytes().size());
    case Value::Kind::List:
    case Value::Kind::Tuple: {
        std::size_t n = 11;
        for (const Value& e : v.items())
            n += size_bound(e);
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

// ---------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------

// Short ASCII strings (command words, column names, unit names) come again in every
// item; one implicitly shared QString per distinct text saves an allocation each time.
// Direct-mapped: a slot holds the exact bytes of its text, and a lookup only answers
// when length and bytes are equal, so a collision costs a miss, never a wrong string.
class TextCache {
public:
    static constexpr std::uint32_t longest = 16;

    // The QString of `size` (<= longest) ASCII bytes at `data`.
    QString get(const char* data, std::uint32_t size) {
        Slot& slot = slots_[slot_of(data, size)];
        if (slot.size != size || std::memcmp(slot.bytes, data, size) != 0) {
            slot.text = QString::fromLatin1(data, static_cast<int>(size));
            std::memcpy(slot.bytes, data, size);
            slot.size = size;
        }
        return slot.text;
    }

private:
    static constexpr std::size_t slot_count = 64;
    struct Slot {
        QString text;
        char bytes[longest] = {};
        std::uint32_t size = longest + 1; // matches nothing
    };

    static std::size_t slot_of(const char* data, std::uint32_t size) {
        std::uint32_t h = size * 0x9e3779b1u;
        for (std::uint32_t i = 0; i < size; ++i)
            h = (h ^ static_cast<unsigned char>(data[i])) * 0x01000193u;
        return (h ^ (h >> 15)) % slot_count;
    }

    Slot slots_[slot_count];
};

// A recursive reader of the format's subset of MessagePack. The format's tuples are
// extension values whose body is a MessagePack document of its own; a reader that
// descends into them in place keeps one depth and one value count across bodies
// and needs no parser state per tuple. Recursion is bounded by Limits::max_depth,
// which is checked before every descent. Faults throw DecodeError at once.
class Reader {
public:
    static constexpr std::size_t max_nesting = 1024;

    Reader(const Limits& limits, const char* data, std::size_t size)
        : limits_(limits)
        , begin_(reinterpret_cast<const unsigned char*>(data))
        , p_(begin_)
        , end_(begin_ + size)
        , texts_(thread_texts()) {}

    // One message: the items of a data message, after its version marker and sequence
    // number, or every element of a control message, into `items` (emptied first: a
    // caller that decodes message after message keeps one buffer).
    detail::Frame message(std::vector<Value>& items) {
        items.clear();
        detail::Frame frame;
        need(1);
        count_value();
        const std::uint32_t count = array_header("message is not an array");
        enter(count);
        if (count == 0)
            fail("message has no version marker");
        // The marker first: a message of another version is named as such, whatever
        // else it holds.
        if (*p_ == wire_version) { // the usual encoding, a positive fixint
            count_value();
            ++p_;
        } else {
            element(items);
            const Value marker = std::move(items.front());
            items.clear();
            if (marker.is_str()) {
                frame.control = true;
                if (count > detail::max_control_elements)
                    fail("control message of " + std::to_string(count) + " elements");
                items.push_back(marker);
                for (std::uint32_t i = 1; i < count; ++i)
                    element(items);
                finish();
                return frame;
            }
            if (marker.kind() == Value::Kind::Float)
                fail("the version must be an integer");
            if (!marker.is_int() || marker.as_int() != wire_version)
                fail("unsupported format version " + host::text_form(marker).toStdString() +
                     " (this consumer reads version " + std::to_string(wire_version) + ")");
        }
        if (count < 2)
            fail("message has no sequence number");
        element(items);
        const Value seq = std::move(items.front());
        items.clear();
        if (!seq.is_int() || seq.as_int() < 0)
            fail("the sequence number must be a non-negative integer");
        frame.seq = static_cast<std::uint64_t>(seq.as_int());
        if (count < 3)
            fail("message carries no item");
        items.reserve(count - 2);
        for (std::uint32_t i = 2; i < count; ++i)
            element(items);
        finish();
        return frame;
    }

private:
    void finish() {
        --depth_;
        if (p_ != end_)
            fail("message has " + std::to_string(end_ - p_) + " bytes after its array");
    }

    static TextCache& thread_texts() {
        thread_local TextCache cache;
        return cache;
    }

    [[noreturn]] static void fail(const std::string& reason) { throw DecodeError(reason); }

    std::size_t left() const { return static_cast<std::size_t>(end_ - p_); }
    void need(std::size_t n) const {
        if (left() < n)
            fail("message is truncated");
    }

    template <typename T> static T load_big_endian(const unsigned char* at) {
        using Bits = std::conditional_t<
            sizeof(T) == 1, quint8,
            std::conditional_t<sizeof(T) == 2, quint16,
                               std::conditional_t<sizeof(T) == 4, quint32, quint64>>>;
        Bits bits;
        std::memcpy(&bits, at, sizeof bits);
        bits = qFromBigEndian(bits);
        T v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }

    template <typename T> T big_endian() {
        need(sizeof(T));
        const T v = load_big_endian<T>(p_);
        p_ += sizeof(T);
        return v;
    }

    void count_value() {
        if (++values_ > limits_.max_total_values)
            fail("more than " + std::to_string(limits_.max_total_values) +
                 " values in one message");
    }

    // Reads an array header (the caller counts the array as a value); any other value at
    // this place fails with `not_array`.
    std::uint32_t array_header(const char* not_array) {
        const unsigned char marker = *p_;
        std::uint32_t count;
        if (marker >= 0x90 && marker <= 0x9f) {
            ++p_;
            count = marker & 0x0fu;
        } else if (marker == 0xdc) {
            ++p_;
            count = big_endian<std::uint16_t>();
        } else if (marker == 0xdd) {
            ++p_;
            count = big_endian<std::uint32_t>();
        } else if ((marker >= 0x80 && marker <= 0x8f) || marker == 0xde || marker == 0xdf) {
            fail("maps are not part of the format");
        } else if (marker == 0xc1) {
            invalid();
        } else {
            fail(not_array);
        }
        return count;
    }

    [[noreturn]] void invalid() const {
        fail("invalid MessagePack at byte " + std::to_string(p_ - begin_));
    }

    // Opens an array of `count` elements: one level deeper.
    void enter(std::uint32_t count) {
        if (depth_ + 1 > max_depth_)
            fail("nesting deeper than " + std::to_string(max_depth_) + " levels");
        if (count > limits_.max_array_elements)
            fail("array of " + std::to_string(count) + " elements exceeds the limit of " +
                 std::to_string(limits_.max_array_elements));
        // Every element takes at least one byte: a header claiming more than the bytes
        // left is a truncated (or lying) message, and nothing is reserved for it.
        if (count > left())
            fail("message is truncated");
        ++depth_;
    }

    // Reads the `count` elements of an array into `into`.
    void elements(std::uint32_t count, std::vector<Value>& into) {
        enter(count);
        into.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            // Float 64, the bulk of records, without the general dispatch.
            if (left() >= 9 && *p_ == 0xcb) {
                count_value();
                into.emplace_back(load_big_endian<double>(p_ + 1));
                p_ += 9;
                continue;
            }
            element(into);
        }
        --depth_;
    }

    Value array(std::uint32_t count, bool tuple) {
        std::vector<Value> items;
        elements(count, items);
        return tuple ? Value::tuple(std::move(items)) : Value::list(std::move(items));
    }

    void element(std::vector<Value>& into) {
        need(1);
        const unsigned char marker = *p_;
        if (marker <= 0x7f) {
            count_value();
            ++p_;
            into.emplace_back(static_cast<std::int64_t>(marker));
            return;
        }
        if (marker >= 0xe0) {
            count_value();
            ++p_;
            into.emplace_back(static_cast<std::int64_t>(static_cast<std::int8_t>(marker)));
            return;
        }
        if ((marker >= 0x90 && marker <= 0x9f) || marker == 0xdc || marker == 0xdd) {
            count_value();
            const std::uint32_t count = array_header("");
            into.push_back(array(count, false));
            return;
        }
        if ((marker >= 0x80 && marker <= 0x8f) || marker == 0xde || marker == 0xdf)
            fail("maps are not part of the format");
        if (marker >= 0xa0 && marker <= 0xbf) {
            count_value();
            ++p_;
            str(marker & 0x1fu, into);
            return;
        }
        count_value();
        ++p_;
        switch (marker) {
        case 0xc0:
            into.emplace_back();
            return;
        case 0xc2:
            into.emplace_back(false);
            return;
        case 0xc3:
            into.emplace_back(true);
            return;
        case 0xc4:
            return bin(big_endian<std::uint8_t>(), into);
        case 0xc5:
            return bin(big_endian<std::uint16_t>(), into);
        case 0xc6:
            return bin(big_endian<std::uint32_t>(), into);
        case 0xc7:
            return ext(big_endian<std::uint8_t>(), into);
        case 0xc8:
            return ext(big_endian<std::uint16_t>(), into);
        case 0xc9:
            return ext(big_endian<std::uint32_t>(), into);
        case 0xca:
            into.emplace_back(static_cast<double>(big_endian<float>()));
            return;
        case 0xcb:
            into.emplace_back(big_endian<double>());
            return;
        case 0xcc:
            into.emplace_back(static_cast<std::int64_t>(big_endian<std::uint8_t>()));
            return;
        case 0xcd:
            into.emplace_back(static_cast<std::int64_t>(big_endian<std::uint16_t>()));
            return;
        case 0xce:
            into.emplace_back(static_cast<std::int64_t>(big_endian<std::uint32_t>()));
            return;
        case 0xcf: {
            const std::uint64_t i = big_endian<std::uint64_t>();
            if (i > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                fail("integer " + std::to_string(i) + " does not fit in 64 signed bits");
            into.emplace_back(static_cast<std::int64_t>(i));
            return;
        }
        case 0xd0:
            into.emplace_back(static_cast<std::int64_t>(big_endian<std::int8_t>()));
            return;
        case 0xd1:
            into.emplace_back(static_cast<std::int64_t>(big_endian<std::int16_t>()));
            return;
        case 0xd2:
            into.emplace_back(static_cast<std::int64_t>(big_endian<std::int32_t>()));
            return;
        case 0xd3:
            into.emplace_back(static_cast<std::int64_t>(big_endian<std::int64_t>()));
            return;
        case 0xd4:
            return ext(1, into);
        case 0xd5:
            return ext(2, into);
        case 0xd6:
            return ext(4, into);
        case 0xd7:
            return ext(8, into);
        case 0xd8:
            return ext(16, into);
        case 0xd9:
            return str(big_endian<std::uint8_t>(), into);
        case 0xda:
            return str(big_endian<std::uint16_t>(), into);
        case 0xdb:
            return str(big_endian<std::uint32_t>(), into);
        default: // 0xc1, never used
            --p_;
            invalid();
        }
    }

    const char* take(std::size_t n) {
        need(n);
        const char* at = reinterpret_cast<const char*>(p_);
        p_ += n;
        return at;
    }

    void str(std::uint32_t size, std::vector<Value>& into) {
        const char* data = take(size);
        bool ascii = true;
        for (std::uint32_t i = 0; i < size && ascii; ++i)
            ascii = static_cast<unsigned char>(data[i]) < 0x80;
        if (ascii) {
            if (size > 0 && size <= TextCache::longest)
                into.emplace_back(texts_.get(data, size));
            else
                into.emplace_back(QString::fromLatin1(data, static_cast<int>(size)));
            return;
        }
        static QTextCodec* const codec = QTextCodec::codecForName("UTF-8");
        // IgnoreHeader: a leading U+FEFF is text, not a byte-order mark to strip.
        QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
        QString text = codec->toUnicode(data, static_cast<int>(size), &state);
        if (state.invalidChars != 0 || state.remainingChars != 0)
            fail("string is not valid UTF-8");
        into.emplace_back(std::move(text));
    }

    void bin(std::uint32_t size, std::vector<Value>& into) {
        const char* data = take(size);
        into.push_back(Value::bytes(QByteArray(data, static_cast<int>(size))));
    }

    template <typename T> Value packed(const char* body, std::uint32_t size, const char* what) {
        if (size % sizeof(T) != 0)
            fail(std::string(what) + " body of " + std::to_string(size) +
                 " bytes is not a whole number of elements");
        QVector<T> data(static_cast<int>(size / sizeof(T)));
        qFromLittleEndian<double>(body, static_cast<qsizetype>(size / 8), data.data());
        if constexpr (std::is_same_v<T, double>)
            return Value::float_array(std::move(data));
        else
            return Value::complex_array(std::move(data));
    }

    void ext(std::uint32_t body_size, std::vector<Value>& into) {
        const auto type = static_cast<std::int8_t>(*take(1));
        const char* body = take(body_size);
        switch (type) {
        case ExtTuple: {
            if (body_size == 0)
                fail("tuple body is empty");
            // The body is read in place: the reader's end moves to the body's end for
            // the time, and the tuple counts as one value with its body's array.
            const unsigned char* const outer_end = end_;
            p_ = reinterpret_cast<const unsigned char*>(body);
            end_ = p_ + body_size;
            const std::uint32_t count = array_header("tuple body is not an array");
            into.push_back(array(count, true));
            if (p_ != end_)
                fail("tuple body has bytes after its array");
            end_ = outer_end;
            return;
        }
        case ExtComplex: {
            if (body_size != 16)
                fail("complex body of " + std::to_string(body_size) + " bytes (16 expected)");
            double parts[2];
            qFromLittleEndian<double>(body, 2, parts);
            into.emplace_back(std::complex<double>(parts[0], parts[1]));
            return;
        }
        case ExtFloatArray:
            into.push_back(packed<double>(body, body_size, "float64 array"));
            return;
        case ExtComplexArray:
            into.push_back(packed<std::complex<double>>(body, body_size, "complex128 array"));
            return;
        default:
            fail("extension type " + std::to_string(type) + " is not part of the format");
        }
    }

    const Limits& limits_;
    // Each level is a few frames of recursion: whatever a caller allows, the stack of
    // the thread that decodes is not left to the sender.
    const std::size_t max_depth_ = std::min<std::size_t>(limits_.max_depth, max_nesting);
    const unsigned char* const begin_;
    const unsigned char* p_;
    const unsigned char* end_;
    TextCache& texts_;
    std::size_t depth_ = 0;
    std::size_t values_ = 0;
};

} // namespace

QByteArray encode(const std::vector<host::Value>& items, std::uint64_t seq) {
    Encoder encoder(items.size() == 1 ? size_bound(items.front()) + 16 : 64 * items.size());
    encoder.message(items, seq);
    return encoder.take();
}

QByteArray encode_item(const host::Value& item, std::uint64_t seq) {
    Encoder encoder(size_bound(item) + 16);
    encoder.start(1, seq);
    encoder.item(item);
    return encoder.take();
}

namespace detail {

std::size_t size_bound(const host::Value& item) {
    return transport::size_bound(item) + 16;
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

Frame decode_frame(const char* data, std::size_t size, const Limits& limits,
                   std::vector<host::Value>& items) {
    if (size > limits.max_message_bytes)
        throw DecodeError("message of " + std::to_string(size) + " bytes exceeds the limit of " +
                          std::to_string(limits.max_message_bytes));
    if (size == 0)
        throw DecodeError("message is empty");
    try {
        return Reader(limits, data, size).message(items);
    } catch (...) {
        items.clear(); // no part of a rejected message is handed out
        throw;
    }
}

} // namespace detail

std::vector<host::Value> decode(const char* data, std::size_t size, const Limits& limits) {
    std::vector<host::Value> items;
    if (detail::decode_frame(data, size, limits, items).control)
        throw DecodeError("a control message carries no items");
    return items;
}

} // namespace tellurix::lumenfold::transport
