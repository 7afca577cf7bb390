// The wire decoder. It reads the bytes straight into host::Value (no object tree, no
// parser state per tuple body), so every limit is enforced before the memory it guards
// is taken.
#include <tellurix/lumenfold/transport.h>

#include "codec_ext.h"
#include "item_layout.h"
#include "text_cache.h"
#include "wire.h"

#include <QTextCodec>
#include <QtEndian>

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
using detail::TextCache;
using host::Value;

// A recursive reader of the format's subset of MessagePack. The format's tuples are
// extension values whose body is a MessagePack document of its own; a reader that
// descends into them in place keeps one depth and one value count across bodies
// and needs no parser state per tuple. Recursion is bounded by Limits::max_depth,
// which is checked before every descent. Faults throw DecodeError at once.
class Reader {
public:
    Reader(const Limits& limits, const char* data, std::size_t size)
        : limits_(limits)
        , begin_(reinterpret_cast<const unsigned char*>(data))
        , p_(begin_)
        , end_(begin_ + size)
        , texts_(thread_texts()) {}

    // One message: the items of a data message, after its version marker and sequence
    // number, or every element of a control message, into `items` (emptied first: a
    // caller that decodes message after message keeps one buffer). Without `Build` the
    // data message is only checked, every rule and limit as when it is built, and its
    // items are left where they are: items_at() tells where they begin.
    template <bool Build> detail::Frame message(std::vector<Value>& items) {
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
            element<true>(items);
            const Value marker = std::move(items.front());
            items.clear();
            if (marker.is_str()) {
                frame.control = true;
                if (count > detail::max_control_elements)
                    fail("control message of " + std::to_string(count) + " elements");
                items.push_back(marker);
                for (std::uint32_t i = 1; i < count; ++i)
                    element<true>(items);
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
        element<true>(items);
        const Value seq = std::move(items.front());
        items.clear();
        if (!seq.is_int() || seq.as_int() < 0)
            fail("the sequence number must be a non-negative integer");
        frame.seq = static_cast<std::uint64_t>(seq.as_int());
        if (count < 3)
            fail("message carries no item");
        items_at_ = static_cast<std::size_t>(p_ - begin_);
        item_count_ = count - 2;
        if constexpr (Build)
            items.reserve(count - 2);
        for (std::uint32_t i = 2; i < count; ++i) {
            if constexpr (!Build) {
                std::size_t values = 0;
                const std::size_t size =
                    layout_.repeated_at(p_, left(), limits_.max_total_values - values_, values);
                if (size > 0) {
                    p_ += size;
                    values_ += values;
                    continue;
                }
                layout_.begin(p_, values_);
            }
            element<Build>(items);
            if constexpr (!Build)
                layout_.end(p_, values_);
        }
        finish();
        return frame;
    }

    // Where the items of the data message message() read begin, in bytes, and how many.
    std::size_t items_at() const { return items_at_; }
    std::uint32_t item_count() const { return item_count_; }

    // Items of a data message message<false>() checked, from byte `offset`: at most
    // `most`, and none after the first that brings the bytes read to `bytes`; returns
    // where the next one begins.
    std::size_t items_from(std::size_t offset, std::uint32_t most, std::size_t bytes,
                           std::vector<Value>& items) {
        items.clear();
        p_ = begin_ + offset;
        depth_ = 1; // inside the message array
        items.reserve(most);
        for (std::uint32_t i = 0; i < most; ++i) {
            element<true>(items);
            if (static_cast<std::size_t>(p_ - begin_) - offset >= bytes)
                break;
        }
        return static_cast<std::size_t>(p_ - begin_);
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

    // Adds a value to `into` when building; only checks otherwise.
    template <bool Build, typename... Args>
    static void put(std::vector<Value>& into, Args&&... args) {
        if constexpr (Build)
            into.emplace_back(std::forward<Args>(args)...);
    }

    // Reads the `count` elements of an array into `into`, which has room for them.
    template <bool Build> void elements(std::uint32_t count, std::vector<Value>& into) {
        for (std::uint32_t i = 0; i < count; ++i) {
            // Float 64, the bulk of records, without the general dispatch.
            if (left() >= 9 && *p_ == 0xcb) {
                count_value();
                if constexpr (Build)
                    into.emplace_back(load_big_endian<double>(p_ + 1));
                else
                    layout_.note_float(p_ + 1);
                p_ += 9;
                continue;
            }
            element<Build>(into);
        }
    }

    template <bool Build> void array(std::uint32_t count, bool tuple, std::vector<Value>& into) {
        enter(count);
        if constexpr (Build) {
            // Storage a record of the same size left behind, when there is some.
            std::vector<Value> items = Value::element_storage(count);
            elements<true>(count, items);
            into.push_back(tuple ? Value::tuple(std::move(items)) : Value::list(std::move(items)));
        } else {
            elements<false>(count, into);
        }
        --depth_;
    }

    template <bool Build> void element(std::vector<Value>& into) {
        need(1);
        const unsigned char marker = *p_;
        if (marker <= 0x7f) {
            count_value();
            ++p_;
            put<Build>(into, static_cast<std::int64_t>(marker));
            return;
        }
        if (marker >= 0xe0) {
            count_value();
            ++p_;
            put<Build>(into, static_cast<std::int64_t>(static_cast<std::int8_t>(marker)));
            return;
        }
        if ((marker >= 0x90 && marker <= 0x9f) || marker == 0xdc || marker == 0xdd) {
            count_value();
            const std::uint32_t count = array_header("");
            array<Build>(count, false, into);
            return;
        }
        if ((marker >= 0x80 && marker <= 0x8f) || marker == 0xde || marker == 0xdf)
            fail("maps are not part of the format");
        if (marker >= 0xa0 && marker <= 0xbf) {
            count_value();
            ++p_;
            str<Build>(marker & 0x1fu, into);
            return;
        }
        count_value();
        ++p_;
        switch (marker) {
        case 0xc0:
            put<Build>(into);
            return;
        case 0xc2:
            put<Build>(into, false);
            return;
        case 0xc3:
            put<Build>(into, true);
            return;
        case 0xc4:
            return bin<Build>(big_endian<std::uint8_t>(), into);
        case 0xc5:
            return bin<Build>(big_endian<std::uint16_t>(), into);
        case 0xc6:
            return bin<Build>(big_endian<std::uint32_t>(), into);
        case 0xc7:
            return ext<Build>(big_endian<std::uint8_t>(), into);
        case 0xc8:
            return ext<Build>(big_endian<std::uint16_t>(), into);
        case 0xc9:
            return ext<Build>(big_endian<std::uint32_t>(), into);
        case 0xca:
            put<Build>(into, static_cast<double>(big_endian<float>()));
            return;
        case 0xcb:
            if constexpr (!Build)
                layout_.note_float(p_);
            put<Build>(into, big_endian<double>());
            return;
        case 0xcc:
            put<Build>(into, static_cast<std::int64_t>(big_endian<std::uint8_t>()));
            return;
        case 0xcd:
            put<Build>(into, static_cast<std::int64_t>(big_endian<std::uint16_t>()));
            return;
        case 0xce:
            put<Build>(into, static_cast<std::int64_t>(big_endian<std::uint32_t>()));
            return;
        case 0xcf: {
            const std::uint64_t i = big_endian<std::uint64_t>();
            if (i > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                fail("integer " + std::to_string(i) + " does not fit in 64 signed bits");
            put<Build>(into, static_cast<std::int64_t>(i));
            return;
        }
        case 0xd0:
            put<Build>(into, static_cast<std::int64_t>(big_endian<std::int8_t>()));
            return;
        case 0xd1:
            put<Build>(into, static_cast<std::int64_t>(big_endian<std::int16_t>()));
            return;
        case 0xd2:
            put<Build>(into, static_cast<std::int64_t>(big_endian<std::int32_t>()));
            return;
        case 0xd3:
            put<Build>(into, static_cast<std::int64_t>(big_endian<std::int64_t>()));
            return;
        case 0xd4:
            return ext<Build>(1, into);
        case 0xd5:
            return ext<Build>(2, into);
        case 0xd6:
            return ext<Build>(4, into);
        case 0xd7:
            return ext<Build>(8, into);
        case 0xd8:
            return ext<Build>(16, into);
        case 0xd9:
            return str<Build>(big_endian<std::uint8_t>(), into);
        case 0xda:
            return str<Build>(big_endian<std::uint16_t>(), into);
        case 0xdb:
            return str<Build>(big_endian<std::uint32_t>(), into);
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

    template <bool Build> void str(std::uint32_t size, std::vector<Value>& into) {
        const char* data = take(size);
        bool ascii = true;
        for (std::uint32_t i = 0; i < size && ascii; ++i)
            ascii = static_cast<unsigned char>(data[i]) < 0x80;
        if (ascii) {
            if constexpr (!Build)
                return;
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
        put<Build>(into, std::move(text));
    }

    template <bool Build> void bin(std::uint32_t size, std::vector<Value>& into) {
        const char* data = take(size);
        if constexpr (Build)
            into.push_back(Value::bytes(QByteArray(data, static_cast<int>(size))));
    }

    template <bool Build, typename T>
    void packed(const char* body, std::uint32_t size, const char* what, std::vector<Value>& into) {
        if (size % sizeof(T) != 0)
            fail(std::string(what) + " body of " + std::to_string(size) +
                 " bytes is not a whole number of elements");
        if constexpr (Build)
            into.push_back(built<T>(body, size));
    }

    // A vector of `n` elements left unset for the copy that follows: QVector(n) would
    // zero them first, about a tenth of a consumer's time on traces.
    template <typename T> static QVector<T> unset_vector(int n) {
        if (n == 0)
            return QVector<T>();
        QTypedArrayData<T>* d = QTypedArrayData<T>::allocate(static_cast<std::size_t>(n));
        Q_CHECK_PTR(d);
        d->size = n;
        return QVector<T>(QArrayDataPointerRef<T>{d});
    }

    template <typename T> static Value built(const char* body, std::uint32_t size) {
        QVector<T> data = unset_vector<T>(static_cast<int>(size / sizeof(T)));
        qFromLittleEndian<double>(body, static_cast<qsizetype>(size / 8), data.data());
        if constexpr (std::is_same_v<T, double>)
            return Value::float_array(std::move(data));
        else
            return Value::complex_array(std::move(data));
    }

    template <bool Build> void ext(std::uint32_t body_size, std::vector<Value>& into) {
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
            array<Build>(count, true, into);
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
            put<Build>(into, std::complex<double>(parts[0], parts[1]));
            return;
        }
        case ExtFloatArray:
            packed<Build, double>(body, body_size, "float64 array", into);
            return;
        case ExtComplexArray:
            packed<Build, std::complex<double>>(body, body_size, "complex128 array", into);
            return;
        default:
            fail("extension type " + std::to_string(type) + " is not part of the format");
        }
    }

    const Limits& limits_;
    // Whatever a caller allows, the stack of the thread that decodes is not left to the
    // sender.
    const std::size_t max_depth_ = std::min<std::size_t>(limits_.max_depth, detail::max_nesting);
    const unsigned char* const begin_;
    const unsigned char* p_;
    const unsigned char* end_;
    TextCache& texts_;
    std::size_t depth_ = 0;
    std::size_t values_ = 0;
    std::size_t items_at_ = 0;
    std::uint32_t item_count_ = 0;
    detail::ItemLayout layout_;
};

} // namespace

namespace detail {

namespace {

void check_size(std::size_t size, const Limits& limits) {
    if (size > limits.max_message_bytes)
        throw DecodeError("message of " + std::to_string(size) + " bytes exceeds the limit of " +
                          std::to_string(limits.max_message_bytes));
    if (size == 0)
        throw DecodeError("message is empty");
}

} // namespace

Frame decode_frame(const char* data, std::size_t size, const Limits& limits,
                   std::vector<host::Value>& items) {
    check_size(size, limits);
    try {
        return Reader(limits, data, size).message<true>(items);
    } catch (...) {
        items.clear(); // no part of a rejected message is handed out
        throw;
    }
}

Frame check_frame(const char* data, std::size_t size, const Limits& limits,
                  std::vector<host::Value>& items, ItemCursor& at) {
    at = ItemCursor();
    check_size(size, limits);
    try {
        Reader reader(limits, data, size);
        const Frame frame = reader.message<false>(items);
        if (!frame.control) {
            at.offset = reader.items_at();
            at.left = reader.item_count();
        }
        return frame;
    } catch (...) {
        items.clear();
        throw;
    }
}

void decode_items(const char* data, std::size_t size, const Limits& limits, ItemCursor& at,
                  std::uint32_t most_items, std::size_t most_bytes,
                  std::vector<host::Value>& items) {
    const std::uint32_t most = std::min(at.left, most_items);
    const std::size_t next =
        Reader(limits, data, size).items_from(at.offset, most, most_bytes, items);
    at.offset = next;
    at.left -= static_cast<std::uint32_t>(items.size());
}

} // namespace detail

std::vector<host::Value> decode(const char* data, std::size_t size, const Limits& limits) {
    std::vector<host::Value> items;
    if (detail::decode_frame(data, size, limits, items).control)
        throw DecodeError("a control message carries no items");
    return items;
}

} // namespace tellurix::lumenfold::transport
