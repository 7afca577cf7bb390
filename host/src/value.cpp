#include <tellurix/lumenfold/host/value.h>

#include "element_block.h"

#include <QDebug>

#include <cstddef>
#include <ostream>

namespace tellurix::lumenfold {

namespace {
std::string error_text(const QString& operation, const QString& parameter, const QString& expected,
                       const QString& given) {
    return QStringLiteral("%1(): argument '%2' must be %3, not %4")
        .arg(operation, parameter, expected, given)
        .toStdString();
}
} // namespace

TypeError::TypeError(const QString& operation, const QString& parameter, const QString& expected,
                     const QString& given)
    : std::invalid_argument(error_text(operation, parameter, expected, given))
    , operation_(operation)
    , parameter_(parameter)
    , expected_(expected)
    , given_(given) {}

PatternError::PatternError(const QString& item, const QString& message, int offset)
    : std::runtime_error(QStringLiteral("invalid pattern item '%1': %2 at offset %3")
                             .arg(item, message)
                             .arg(offset)
                             .toStdString())
    , item_(item)
    , message_(message)
    , offset_(offset) {}

NoHostError::NoHostError(const QString& operation)
    : std::logic_error(QStringLiteral("%1(): no host window attached; call "
                                      "ToolBar::set_mainwindow() first")
                           .arg(operation)
                           .toStdString()) {}

namespace host {

Value Value::list(std::vector<Value> items) {
    return Value(Kind::List, detail::element_block(std::move(items)));
}
Value Value::tuple(std::vector<Value> items) {
    return Value(Kind::Tuple, detail::element_block(std::move(items)));
}
std::vector<Value> Value::element_storage(std::size_t count) {
    return detail::element_storage(count);
}
Value Value::bytes(QByteArray data) {
    Value v;
    new (&v.data_.bytes) QByteArray(std::move(data));
    v.kind_ = Kind::Bytes;
    return v;
}
Value Value::float_array(QVector<double> data) {
    Value v;
    new (&v.data_.floats) QVector<double>(std::move(data));
    v.kind_ = Kind::FloatArray;
    return v;
}
Value Value::complex_array(QVector<std::complex<double>> data) {
    Value v;
    new (&v.data_.complexes) QVector<std::complex<double>>(std::move(data));
    v.kind_ = Kind::ComplexArray;
    return v;
}
Value Value::str_list(const QStringList& names) {
    std::vector<Value> items;
    items.reserve(static_cast<std::size_t>(names.size()));
    for (const QString& n : names)
        items.emplace_back(n);
    return list(std::move(items));
}

void Value::release_shared() noexcept {
    switch (kind_) {
    case Kind::Str:
        data_.s.~QString();
        break;
    case Kind::Bytes:
        data_.bytes.~QByteArray();
        break;
    case Kind::List:
    case Kind::Tuple:
        data_.items.~Items();
        break;
    case Kind::FloatArray:
        data_.floats.~QVector<double>();
        break;
    case Kind::ComplexArray:
        data_.complexes.~QVector<std::complex<double>>();
        break;
    default:
        break;
    }
    kind_ = Kind::None;
}

void Value::copy_shared(const Value& other) {
    switch (other.kind_) {
    case Kind::Str:
        new (&data_.s) QString(other.data_.s);
        break;
    case Kind::Bytes:
        new (&data_.bytes) QByteArray(other.data_.bytes);
        break;
    case Kind::List:
    case Kind::Tuple:
        new (&data_.items) Items(other.data_.items);
        break;
    case Kind::FloatArray:
        new (&data_.floats) QVector<double>(other.data_.floats);
        break;
    case Kind::ComplexArray:
        new (&data_.complexes) QVector<std::complex<double>>(other.data_.complexes);
        break;
    default:
        break;
    }
}

void Value::take_shared(Value& other) noexcept {
    switch (other.kind_) {
    case Kind::Str:
        new (&data_.s) QString(std::move(other.data_.s));
        break;
    case Kind::Bytes:
        new (&data_.bytes) QByteArray(std::move(other.data_.bytes));
        break;
    case Kind::List:
    case Kind::Tuple:
        new (&data_.items) Items(std::move(other.data_.items));
        break;
    case Kind::FloatArray:
        new (&data_.floats) QVector<double>(std::move(other.data_.floats));
        break;
    case Kind::ComplexArray:
        new (&data_.complexes) QVector<std::complex<double>>(std::move(other.data_.complexes));
        break;
    default:
        break;
    }
    other.release_shared();
}

QString Value::type_name(Kind kind) {
    switch (kind) {
    case Kind::None:
        return QStringLiteral("none");
    case Kind::Bool:
        return QStringLiteral("bool");
    case Kind::Int:
        return QStringLiteral("int");
    case Kind::Float:
        return QStringLiteral("float");
    case Kind::Complex:
        return QStringLiteral("complex");
    case Kind::Str:
        return QStringLiteral("str");
    case Kind::Bytes:
        return QStringLiteral("bytes");
    case Kind::List:
        return QStringLiteral("list");
    case Kind::Tuple:
        return QStringLiteral("tuple");
    case Kind::FloatArray:
        return QStringLiteral("float64 array");
    case Kind::ComplexArray:
        return QStringLiteral("complex128 array");
    }
    return QStringLiteral("unknown");
}

QString Value::type_name() const {
    return type_name(kind_);
}

void Value::type_error(const char* operation, const char* parameter, const char* expected) const {
    throw TypeError(QString::fromUtf8(operation), QString::fromUtf8(parameter),
                    QString::fromUtf8(expected), type_name());
}

namespace {
const char* op_or(const char* operation, const char* fallback) {
    return operation ? operation : fallback;
}
const char* param_or(const char* parameter) {
    return parameter ? parameter : "value";
}
} // namespace

#define LUMENFOLD_CHECK_KIND(cond, accessor, expected)                                             \
    if (!(cond))                                                                                   \
    type_error(op_or(operation, "Value::" accessor), param_or(parameter), expected)

bool Value::as_bool(const char* operation, const char* parameter) const {
    LUMENFOLD_CHECK_KIND(is_bool(), "as_bool", "bool");
    return data_.b;
}

std::int64_t Value::as_int(const char* operation, const char* parameter) const {
    LUMENFOLD_CHECK_KIND(is_int(), "as_int", "int");
    return data_.i;
}

double Value::as_float(const char* operation, const char* parameter) const {
    if (is_int())
        return static_cast<double>(data_.i);
    LUMENFOLD_CHECK_KIND(is_float(), "as_float", "float");
    return data_.d;
}

std::complex<double> Value::as_complex(const char* operation, const char* parameter) const {
    if (is_number())
        return {as_float(), 0.0};
    LUMENFOLD_CHECK_KIND(is_complex(), "as_complex", "complex");
    return data_.c;
}

const QString& Value::as_str(const char* operation, const char* parameter) const {
    LUMENFOLD_CHECK_KIND(is_str(), "as_str", "str");
    return data_.s;
}

const QByteArray& Value::as_bytes(const char* operation, const char* parameter) const {
    LUMENFOLD_CHECK_KIND(is_bytes(), "as_bytes", "bytes");
    return data_.bytes;
}

const std::vector<Value>& Value::items(const char* operation, const char* parameter) const {
    LUMENFOLD_CHECK_KIND(is_list() || is_tuple(), "items", "list or tuple");
    return *data_.items;
}

const QVector<double>& Value::as_float_array(const char* operation, const char* parameter) const {
    LUMENFOLD_CHECK_KIND(is_float_array(), "as_float_array", "float64 array");
    return data_.floats;
}

const QVector<std::complex<double>>& Value::as_complex_array(const char* operation,
                                                             const char* parameter) const {
    LUMENFOLD_CHECK_KIND(is_complex_array(), "as_complex_array", "complex128 array");
    return data_.complexes;
}

#undef LUMENFOLD_CHECK_KIND

const Value& Value::operator[](std::size_t i) const {
    const auto& v = items("Value::operator[]");
    if (i >= v.size())
        throw std::out_of_range("host::Value: index " + std::to_string(i) + " out of range for " +
                                type_name().toStdString() + " of size " + std::to_string(v.size()));
    return v[i];
}

bool Value::same_content(const Value& other) const noexcept {
    switch (kind_) {
    case Kind::None:
        return true;
    case Kind::Bool:
        return data_.b == other.data_.b;
    case Kind::Int:
        return data_.i == other.data_.i;
    case Kind::Float:
        return data_.d == other.data_.d;
    case Kind::Complex:
        return data_.c == other.data_.c;
    case Kind::Str:
        return data_.s == other.data_.s;
    case Kind::Bytes:
        return data_.bytes == other.data_.bytes;
    case Kind::List:
    case Kind::Tuple:
        return data_.items == other.data_.items;
    case Kind::FloatArray:
        return data_.floats == other.data_.floats;
    case Kind::ComplexArray:
        return data_.complexes == other.data_.complexes;
    }
    return false;
}

bool operator==(const Value& a, const Value& b) {
    // Element by element in document order, with the containers still open kept on a
    // stack of our own rather than the call stack, which deep nesting would overflow.
    // The first few levels sit in place: comparing a command costs no allocation.
    struct Open {
        const Value* x;
        const Value* y;
        std::size_t left;
    };
    constexpr std::size_t near_count = 8;
    Open near[near_count];
    std::size_t near_size = 0;
    std::vector<Open> far;
    const auto top = [&]() -> Open* {
        if (!far.empty())
            return &far.back();
        return near_size ? &near[near_size - 1] : nullptr;
    };
    const auto pop = [&] { far.empty() ? void(--near_size) : far.pop_back(); };

    const Value* x = &a;
    const Value* y = &b;
    for (;;) {
        if (x->kind_ != y->kind_)
            return false;
        if (x->kind_ == Value::Kind::List || x->kind_ == Value::Kind::Tuple) {
            const auto& xs = x->data_.items;
            const auto& ys = y->data_.items;
            if (xs != ys) { // one shared vector is equal to itself without a look
                if (xs->size() != ys->size())
                    return false;
                if (!xs->empty()) {
                    const Open open{xs->data(), ys->data(), xs->size()};
                    if (far.empty() && near_size < near_count)
                        near[near_size++] = open;
                    else
                        far.push_back(open);
                }
            }
        } else if (!x->same_content(*y)) {
            return false;
        }
        Open* next = top();
        while (next && next->left == 0) {
            pop();
            next = top();
        }
        if (!next)
            return true;
        x = next->x++;
        y = next->y++;
        --next->left;
    }
}

QDebug operator<<(QDebug debug, const Value& value) {
    QDebugStateSaver saver(debug);
    debug.noquote() << text_form(value);
    return debug;
}

std::ostream& operator<<(std::ostream& os, const Value& value) {
    return os << text_form(value).toStdString();
}

} // namespace host
} // namespace tellurix::lumenfold
