// The wire codec. Encoding goes through msgpack-cxx's packer except for floats, which
// the packer would shorten to integers when they are whole. Decoding uses msgpack-cxx's
// event parser (no object tree, an explicit stack instead of recursion) and builds
// host::Value directly, so every limit is enforced before the memory it guards is taken.
#include <tellurix/lumenfold/transport.h>

#include <QTextCodec>
#include <QtEndian>

#include <msgpack.hpp>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

namespace tellurix::lumenfold::transport {

namespace {

using host::Value;

enum ExtType : std::int8_t { ExtTuple = 1, ExtComplex = 2, ExtFloatArray = 3, ExtComplexArray = 4 };

// ---------------------------------------------------------------------------
// Encoding
// ---------------------------------------------------------------------------

// The packer's stream: appends to one QByteArray and lets a tuple patch its header
// once the body length is known.
struct ByteSink {
    QByteArray bytes;
    void write(const char* data, std::size_t size) { bytes.append(data, static_cast<int>(size)); }
};

class Encoder {
public:
    explicit Encoder(int reserve) { sink_.bytes.reserve(reserve); }

    void message(const std::vector<Value>& items) {
        if (items.empty())
            throw std::invalid_argument("transport::encode: a message needs at least one item");
        if (items.size() >= std::numeric_limits<std::uint32_t>::max())
            throw std::invalid_argument("transport::encode: too many items for one message");
        packer_.pack_array(static_cast<std::uint32_t>(items.size() + 1));
        packer_.pack_int(wire_version);
        for (const Value& item : items)
            value(item);
    }

    QByteArray take() { return std::move(sink_.bytes); }

private:
    static std::uint32_t length(qsizetype size, const char* what) {
        if (size < 0 ||
            static_cast<std::uint64_t>(size) > std::numeric_limits<std::uint32_t>::max())
            throw std::invalid_argument(std::string("transport::encode: ") + what +
                                        " too large for one message");
        return static_cast<std::uint32_t>(size);
    }

    void float64(double d) {
        char buf[9];
        buf[0] = static_cast<char>(0xcb);
        qToBigEndian(d, buf + 1);
        sink_.write(buf, sizeof buf);
    }

    template <typename T> void packed(ExtType type, const QVector<T>& data) {
        static_assert(sizeof(T) % sizeof(double) == 0);
        const std::size_t count = static_cast<std::size_t>(data.size()) * (sizeof(T) / 8);
        const std::uint32_t size = length(static_cast<qsizetype>(count * 8), "packed array");
        packer_.pack_ext(size, type);
        const int at = sink_.bytes.size();
        sink_.bytes.resize(at + static_cast<int>(size));
        qToLittleEndian<double>(data.constData(), static_cast<qsizetype>(count),
                                sink_.bytes.data() + at);
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
        const QByteArray utf8 = text.toUtf8();
        const std::uint32_t size = length(utf8.size(), "string");
        packer_.pack_str(size);
        packer_.pack_str_body(utf8.constData(), size);
    }

    void sequence(const std::vector<Value>& items) {
        packer_.pack_array(length(static_cast<qsizetype>(items.size()), "list"));
        for (const Value& item : items)
            value(item);
    }

    // The body of a tuple is its own MessagePack array; its length is known only once it
    // is written, so room for the widest header is kept and the body moved back over
    // what a narrower header leaves free.
    void tuple(const std::vector<Value>& items) {
        constexpr int wide = 6; // ext 32: marker, 4 length bytes, type
        const int header_at = sink_.bytes.size();
        sink_.bytes.append(wide, '\0');
        sequence(items);
        const int body_at = header_at + wide;
        const std::uint32_t body = length(sink_.bytes.size() - body_at, "tuple");

        ByteSink header;
        msgpack::packer<ByteSink> hp(header);
        hp.pack_ext(body, ExtTuple);
        const int used = header.bytes.size();
        char* base = sink_.bytes.data();
        std::memcpy(base + header_at, header.bytes.constData(), static_cast<std::size_t>(used));
        if (used < wide) {
            std::memmove(base + header_at + used, base + body_at, body);
            sink_.bytes.chop(wide - used);
        }
    }

    void value(const Value& v) {
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
};

// ---------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------

// Callbacks of msgpack-cxx's event parser. A callback that finds a fault records it and
// returns false, which stops the parser; decode() then throws with that reason.
class Decoder : public msgpack::null_visitor {
public:
    Decoder(const Limits& limits, std::size_t message_size)
        : limits_(limits)
        , message_size_(message_size) {}

    // The message array's elements, version marker first.
    std::vector<Value> take_root() { return std::move(root_); }
    bool has_root() const { return root_done_; }
    const std::string& error() const { return error_; }
    void fail_if_unset(const std::string& reason) {
        if (error_.empty())
            error_ = reason;
    }

    bool visit_nil() { return add(Value()); }
    bool visit_boolean(bool b) { return add(Value(b)); }
    bool visit_positive_integer(std::uint64_t i) {
        if (i > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return fail("integer " + std::to_string(i) + " does not fit in 64 signed bits");
        return add(Value(static_cast<std::int64_t>(i)));
    }
    bool visit_negative_integer(std::int64_t i) { return add(Value(i)); }
    bool visit_float32(float f) { return add(Value(static_cast<double>(f))); }
    bool visit_float64(double d) { return add(Value(d)); }
    bool visit_str(const char* data, std::uint32_t size) {
        QString text;
        if (!utf8(data, size, text))
            return fail("string is not valid UTF-8");
        return add(Value(std::move(text)));
    }
    bool visit_bin(const char* data, std::uint32_t size) {
        return add(Value::bytes(QByteArray(data, static_cast<int>(size))));
    }
    bool visit_ext(const char* data, std::uint32_t size);

    bool start_array(std::uint32_t count) {
        if (tuple_body_pending_)
            tuple_body_pending_ = false;
        else if (!counted())
            return false;
        if (frames_.size() + 1 > limits_.max_depth)
            return fail("nesting deeper than " + std::to_string(limits_.max_depth) + " levels");
        if (count > limits_.max_array_elements)
            return fail("array of " + std::to_string(count) + " elements exceeds the limit of " +
                        std::to_string(limits_.max_array_elements));
        Frame frame;
        frame.tuple = tuple_frame_next_;
        tuple_frame_next_ = false;
        // Every element takes at least one byte, so the message size bounds what a
        // truthful header can claim; a lying one gets no more than that reserved.
        frame.items.reserve(std::min<std::size_t>(count, message_size_));
        frames_.push_back(std::move(frame));
        return true;
    }
    bool end_array() {
        Frame frame = std::move(frames_.back());
        frames_.pop_back();
        if (frames_.empty()) { // the message array
            root_ = std::move(frame.items);
            root_done_ = true;
            return true;
        }
        Value v = frame.tuple ? Value::tuple(std::move(frame.items))
                              : Value::list(std::move(frame.items));
        return place(std::move(v));
    }
    bool start_map(std::uint32_t) { return fail("maps are not part of the format"); }

    void parse_error(std::size_t, std::size_t at) {
        fail_if_unset("invalid MessagePack at byte " + std::to_string(at));
    }
    void insufficient_bytes(std::size_t, std::size_t) { fail_if_unset("message is truncated"); }

private:
    struct Frame {
        std::vector<Value> items;
        bool tuple = false;
    };

    bool fail(std::string reason) {
        fail_if_unset(reason);
        return false;
    }

    bool counted() {
        if (tuple_body_pending_)
            return fail("tuple body is not an array");
        if (++values_ > limits_.max_total_values)
            return fail("more than " + std::to_string(limits_.max_total_values) +
                        " values in one message");
        return true;
    }

    bool add(Value v) { return counted() && place(std::move(v)); }

    bool place(Value v) {
        if (frames_.empty())
            return fail("message is not an array");
        frames_.back().items.push_back(std::move(v));
        return true;
    }

    // The same few command words arrive in every item; reusing their QString (implicitly
    // shared) saves an allocation per item.
    static QString short_ascii(const char* data, std::uint32_t size) {
        constexpr std::uint32_t short_text = 8;
        if (size == 0 || size > short_text)
            return QString::fromLatin1(data, static_cast<int>(size));
        thread_local QString recent[4];
        thread_local unsigned next = 0;
        const QLatin1String text(data, static_cast<int>(size));
        for (const QString& r : recent) {
            if (r.size() == text.size() && r == text)
                return r;
        }
        QString made(text);
        recent[next++ % 4] = made;
        return made;
    }

    static bool utf8(const char* data, std::uint32_t size, QString& out) {
        bool ascii = true;
        for (std::uint32_t i = 0; i < size && ascii; ++i)
            ascii = static_cast<unsigned char>(data[i]) < 0x80;
        if (ascii) {
            out = short_ascii(data, size);
            return true;
        }
        static QTextCodec* const codec = QTextCodec::codecForName("UTF-8");
        // IgnoreHeader: a leading U+FEFF is text, not a byte-order mark to strip.
        QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
        out = codec->toUnicode(data, static_cast<int>(size), &state);
        return state.invalidChars == 0 && state.remainingChars == 0;
    }

    template <typename T> bool packed(const char* body, std::uint32_t size, const char* what) {
        if (size % sizeof(T) != 0)
            return fail(std::string(what) + " body of " + std::to_string(size) +
                        " bytes is not a whole number of elements");
        QVector<T> data(static_cast<int>(size / sizeof(T)));
        qFromLittleEndian<double>(body, static_cast<qsizetype>(size / 8), data.data());
        if constexpr (std::is_same_v<T, double>)
            return place(Value::float_array(std::move(data)));
        else
            return place(Value::complex_array(std::move(data)));
    }

    const Limits& limits_;
    std::size_t message_size_;
    std::vector<Frame> frames_;
    std::vector<Value> root_;
    bool root_done_ = false;
    std::size_t values_ = 0;
    std::string error_;
    // Set while a tuple's body is parsed: its first event must open the tuple's array.
    bool tuple_body_pending_ = false;
    bool tuple_frame_next_ = false;
};

bool Decoder::visit_ext(const char* data, std::uint32_t size) {
    if (frames_.empty())
        return fail("message is not an array");
    if (!counted())
        return false;
    if (size < 1)
        return fail("extension value without a type");
    const auto type = static_cast<std::int8_t>(data[0]);
    const char* body = data + 1;
    const std::uint32_t body_size = size - 1;
    switch (type) {
    case ExtTuple: {
        if (body_size == 0)
            return fail("tuple body is empty");
        // The body is parsed by a nested parser feeding this same decoder, so the depth
        // and value counts run on across tuple bodies. Its first event must be the array
        // that holds the tuple's elements, and each nesting adds one frame, so the
        // recursion stops at max_depth.
        const std::size_t frames_before = frames_.size();
        tuple_body_pending_ = true;
        tuple_frame_next_ = true;
        std::size_t offset = 0;
        const bool ok = msgpack::parse(body, body_size, offset, *this);
        tuple_body_pending_ = false;
        tuple_frame_next_ = false;
        if (!ok) {
            fail_if_unset("invalid tuple body");
            return false;
        }
        if (offset != body_size || frames_.size() != frames_before)
            return fail("tuple body has bytes after its array");
        return true;
    }
    case ExtComplex: {
        if (body_size != 16)
            return fail("complex body of " + std::to_string(body_size) + " bytes (16 expected)");
        double parts[2];
        qFromLittleEndian<double>(body, 2, parts);
        return place(Value(std::complex<double>(parts[0], parts[1])));
    }
    case ExtFloatArray:
        return packed<double>(body, body_size, "float64 array");
    case ExtComplexArray:
        return packed<std::complex<double>>(body, body_size, "complex128 array");
    default:
        return fail("extension type " + std::to_string(type) + " is not part of the format");
    }
}

} // namespace

QByteArray encode(const std::vector<host::Value>& items) {
    Encoder encoder(64);
    encoder.message(items);
    return encoder.take();
}

QByteArray encode_item(const host::Value& item) {
    return encode(std::vector<host::Value>{item});
}

std::vector<host::Value> decode(const char* data, std::size_t size, const Limits& limits) {
    if (size > limits.max_message_bytes)
        throw DecodeError("message of " + std::to_string(size) + " bytes exceeds the limit of " +
                          std::to_string(limits.max_message_bytes));
    if (size == 0)
        throw DecodeError("message is empty");
    Decoder decoder(limits, size);
    std::size_t offset = 0;
    const bool ok = msgpack::parse(data, size, offset, decoder);
    if (!ok) {
        decoder.fail_if_unset("invalid MessagePack");
        throw DecodeError(decoder.error());
    }
    if (!decoder.has_root())
        throw DecodeError("message is not an array");
    if (offset != size)
        throw DecodeError("message has " + std::to_string(size - offset) +
                          " bytes after its array");
    std::vector<host::Value> root = decoder.take_root();
    if (root.empty() || !root.front().is_int() || root.front().as_int() != wire_version)
        throw DecodeError(root.empty() ? std::string("message has no version marker")
                                       : "unsupported format version " +
                                             host::text_form(root.front()).toStdString());
    if (root.size() < 2)
        throw DecodeError("message carries no item");
    root.erase(root.begin());
    return root;
}

} // namespace tellurix::lumenfold::transport
