// The dynamic value that crosses the command queue, and the text it is shown as.
#pragma once

#include <tellurix/lumenfold/host/errors.h>
#include <tellurix/lumenfold/host_export.h>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <complex>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <variant>
#include <vector>

class QDebug;

namespace tellurix::lumenfold::host {

/// A dynamically typed value, as carried by the command queue.
///
/// Values are immutable once built. Copies are cheap: strings, byte strings and packed
/// arrays are Qt's implicitly shared containers, lists and tuples share their element
/// vector. Moving never allocates and leaves none behind. A default-constructed Value is
/// none, which differs from false, 0 and "". A list and a tuple with the same elements
/// are different values. Lists and tuples may nest as deep as memory allows: destroying,
/// comparing and text_form() walk them without recursion, so depth never overflows the
/// stack (the wire, though, carries no more than 1024 levels).
class LUMENFOLD_HOST_EXPORT Value {
public:
    enum class Kind {
        None,
        Bool,
        Int,
        Float,
        Complex,
        Str,
        Bytes,
        List,
        Tuple,
        FloatArray,
        ComplexArray
    };

    Value() noexcept {}
    Value(std::nullptr_t) noexcept {}
    Value(bool b) noexcept
        : kind_(Kind::Bool) {
        data_.b = b;
    }
    template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                               !std::is_same_v<T, char>,
                                           int> = 0>
    Value(T i)
        : kind_(Kind::Int) {
        data_.i = checked_int(i);
    }
    Value(double d) noexcept
        : kind_(Kind::Float) {
        data_.d = d;
    }
    Value(float f) noexcept
        : Value(static_cast<double>(f)) {}
    Value(std::complex<double> c) noexcept
        : kind_(Kind::Complex) {
        new (&data_.c) std::complex<double>(c);
    }
    Value(const QString& s)
        : kind_(Kind::Str) {
        new (&data_.s) QString(s);
    }
    Value(QString&& s) noexcept
        : kind_(Kind::Str) {
        new (&data_.s) QString(std::move(s));
    }
    Value(const char* s)
        : Value(QString::fromUtf8(s)) {}

    Value(const Value& other)
        : kind_(other.kind_) {
        if (plain(kind_))
            data_.copy_plain(other.data_);
        else
            copy_shared(other);
    }
    /// `other` is none afterwards.
    Value(Value&& other) noexcept
        : kind_(other.kind_) {
        if (plain(kind_))
            data_.copy_plain(other.data_);
        else
            take_shared(other);
        other.kind_ = Kind::None;
    }
    Value& operator=(const Value& other) {
        if (this != &other)
            *this = Value(other);
        return *this;
    }
    /// `other` is none afterwards.
    Value& operator=(Value&& other) noexcept {
        if (this != &other) {
            Value taken(std::move(other)); // `other` may be an element of this value
            release();
            kind_ = taken.kind_;
            if (plain(kind_))
                data_.copy_plain(taken.data_);
            else
                take_shared(taken);
            taken.kind_ = Kind::None;
        }
        return *this;
    }
    ~Value() { release(); }

    static Value list(std::vector<Value> items);
    static Value tuple(std::vector<Value> items);
    /// An empty vector with room for `count` elements, to fill and hand to list() or
    /// tuple(). Its storage may be that of a small list or tuple this thread let go: a
    /// reader that builds records as fast as the host drops them, as a queue does, then
    /// spends no allocation on their elements.
    static std::vector<Value> element_storage(std::size_t count);
    static Value bytes(QByteArray data);
    static Value float_array(QVector<double> data);
    static Value complex_array(QVector<std::complex<double>> data);
    /// A list of str, the form column names travel in.
    static Value str_list(const QStringList& names);

    Kind kind() const noexcept { return kind_; }
    /// "none", "bool", "int", "float", "complex", "str", "bytes", "list", "tuple",
    /// "float64 array", "complex128 array".
    QString type_name() const;
    static QString type_name(Kind kind);

    bool is_none() const noexcept { return kind_ == Kind::None; }
    bool is_bool() const noexcept { return kind_ == Kind::Bool; }
    bool is_int() const noexcept { return kind_ == Kind::Int; }
    bool is_float() const noexcept { return kind_ == Kind::Float; }
    bool is_complex() const noexcept { return kind_ == Kind::Complex; }
    bool is_str() const noexcept { return kind_ == Kind::Str; }
    bool is_bytes() const noexcept { return kind_ == Kind::Bytes; }
    bool is_list() const noexcept { return kind_ == Kind::List; }
    bool is_tuple() const noexcept { return kind_ == Kind::Tuple; }
    bool is_float_array() const noexcept { return kind_ == Kind::FloatArray; }
    bool is_complex_array() const noexcept { return kind_ == Kind::ComplexArray; }
    /// An int or a float.
    bool is_number() const noexcept { return kind_ == Kind::Int || kind_ == Kind::Float; }

    // Checked accessors. On another kind they throw TypeError naming `operation` and
    // `parameter`; the defaults name the accessor itself and "value".
    bool as_bool(const char* operation = nullptr, const char* parameter = nullptr) const;
    std::int64_t as_int(const char* operation = nullptr, const char* parameter = nullptr) const;
    /// A float, or an int widened to double.
    double as_float(const char* operation = nullptr, const char* parameter = nullptr) const;
    /// A complex, or an int or float widened to complex.
    std::complex<double> as_complex(const char* operation = nullptr,
                                    const char* parameter = nullptr) const;
    const QString& as_str(const char* operation = nullptr, const char* parameter = nullptr) const;
    const QByteArray& as_bytes(const char* operation = nullptr,
                               const char* parameter = nullptr) const;
    /// The elements of a list or a tuple.
    const std::vector<Value>& items(const char* operation = nullptr,
                                    const char* parameter = nullptr) const;
    const QVector<double>& as_float_array(const char* operation = nullptr,
                                          const char* parameter = nullptr) const;
    const QVector<std::complex<double>>& as_complex_array(const char* operation = nullptr,
                                                          const char* parameter = nullptr) const;

    /// Element count of a list or tuple (TypeError otherwise).
    std::size_t size() const { return items("Value::size").size(); }
    /// Element of a list or tuple; std::out_of_range past the end.
    const Value& operator[](std::size_t i) const;

    /// Same kind and equal content. Int 1 and float 1.0 differ; floats compare as
    /// doubles (so NaN differs from itself, as in the producer's languages).
    friend LUMENFOLD_HOST_EXPORT bool operator==(const Value& a, const Value& b);
    friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }

    /// Throws TypeError(operation, parameter, expected, type_name()).
    [[noreturn]] void type_error(const char* operation, const char* parameter,
                                 const char* expected) const;

private:
    using Items = std::shared_ptr<const std::vector<Value>>;

    template <typename T> static std::int64_t checked_int(T i) {
        if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(std::int64_t)) {
            if (i > static_cast<T>(std::numeric_limits<std::int64_t>::max()))
                throw std::out_of_range("host::Value: integer does not fit in 64 signed bits");
        }
        return static_cast<std::int64_t>(i);
    }

    // Kinds up to Complex hold a number: copied as bytes, nothing to destroy. Records are
    // lists of numbers made and dropped by the million, so that path stays in line.
    static constexpr bool plain(Kind kind) noexcept { return kind <= Kind::Complex; }

    Value(Kind kind, Items items) noexcept
        : kind_(kind) {
        new (&data_.items) Items(std::move(items));
    }

    // The member `kind_` names is the one alive.
    union Data {
        Data() noexcept
            : i(0) {}
        ~Data() {}
        Data(const Data&) = delete;
        Data& operator=(const Data&) = delete;
        void copy_plain(const Data& other) noexcept {
            std::memcpy(static_cast<void*>(this), static_cast<const void*>(&other), sizeof(Data));
        }

        bool b;
        std::int64_t i;
        double d;
        std::complex<double> c;
        QString s;
        QByteArray bytes;
        Items items;
        QVector<double> floats;
        QVector<std::complex<double>> complexes;
    };

    void release() noexcept {
        if (!plain(kind_))
            release_shared();
    }
    // For the kinds that own shared data: destroys it, copies it from `other` or moves
    // it from `other` (this value holding nothing yet). The caller sets the kinds.
    void release_shared() noexcept;
    void copy_shared(const Value& other);
    void take_shared(Value& other) noexcept;
    // Same content, `other` being of the same kind; lists and tuples only by identity.
    bool same_content(const Value& other) const noexcept;

    Kind kind_ = Kind::None;
    Data data_;
};

/// The text a value is shown as in labels, tooltips and on the clipboard, in the
/// notation of a Python producer: a str unchanged; int in decimal; float in its
/// shortest round-trip form without a forced ".0" (2.5, 0.1, 3, 1e+300, nan, inf);
/// None, True, False; complex as (1+2j); bytes as b'..'; [e1, e2] for a list and
/// (e1, e2) or (e1,) for a tuple with every element in its quoted form ('t');
/// packed arrays as array([...]). Strings inside containers are quoted and escaped so
/// that quotes, backslashes and control characters stay unambiguous.
LUMENFOLD_HOST_EXPORT QString text_form(const Value& value);
/// The quoted form used for elements: like text_form, but a str is quoted ('a\'b').
LUMENFOLD_HOST_EXPORT QString quoted_form(const Value& value);
/// Shortest decimal text that reads back to exactly `d` (Python's repr without ".0").
LUMENFOLD_HOST_EXPORT QString float_text(double d);

LUMENFOLD_HOST_EXPORT QDebug operator<<(QDebug debug, const Value& value);
LUMENFOLD_HOST_EXPORT std::ostream& operator<<(std::ostream& os, const Value& value);

} // namespace tellurix::lumenfold::host
