// Lumenfold host library: the dynamic value that crosses the command queue, the
// errors every module throws, the contracts a host program implements, the warning
// channel and the clipboard facility.
#pragma once

#include <tellurix/lumenfold/host_export.h>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <complex>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <limits>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

class QDebug;

namespace tellurix::lumenfold {

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

/// A value of the wrong kind reached an operation. what() reads
/// "<operation>(): argument '<parameter>' must be <expected>, not <given>".
class LUMENFOLD_HOST_EXPORT TypeError : public std::invalid_argument {
public:
    TypeError(const QString& operation, const QString& parameter, const QString& expected,
              const QString& given);
    const QString& operation() const noexcept { return operation_; }
    const QString& parameter() const noexcept { return parameter_; }
    const QString& expected() const noexcept { return expected_; }
    const QString& given() const noexcept { return given_; }

private:
    QString operation_, parameter_, expected_, given_;
};

/// A pattern item that the regular-expression engine rejects (or gives up on).
/// what() reads "invalid pattern item '<item>': <engine message> at offset <n>".
class LUMENFOLD_HOST_EXPORT PatternError : public std::runtime_error {
public:
    PatternError(const QString& item, const QString& message, int offset);
    const QString& item() const noexcept { return item_; }
    const QString& message() const noexcept { return message_; }
    int offset() const noexcept { return offset_; }

private:
    QString item_, message_;
    int offset_;
};

/// An operation needed the host window before ToolBar::set_mainwindow was called.
class LUMENFOLD_HOST_EXPORT NoHostError : public std::logic_error {
public:
    explicit NoHostError(const QString& operation);
};

namespace host {

// ---------------------------------------------------------------------------
// Value
// ---------------------------------------------------------------------------

/// A dynamically typed value, as carried by the command queue.
///
/// Values are immutable once built. Copies are cheap: strings, byte strings and packed
/// arrays are Qt's implicitly shared containers, lists and tuples share their element
/// vector. Moving never allocates. A default-constructed Value is none, which differs
/// from false, 0 and "". A list and a tuple with the same elements are different values.
/// Lists and tuples may nest as deep as memory allows: destroying, comparing and
/// text_form() walk them without recursion, so depth never overflows the stack (the
/// wire, though, carries no more than 1024 levels).
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

    Value() noexcept = default;
    Value(std::nullptr_t) noexcept {}
    Value(bool b) noexcept
        : kind_(Kind::Bool)
        , data_(b) {}
    template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                               !std::is_same_v<T, char>,
                                           int> = 0>
    Value(T i)
        : kind_(Kind::Int)
        , data_(checked_int(i)) {}
    Value(double d) noexcept
        : kind_(Kind::Float)
        , data_(d) {}
    Value(float f) noexcept
        : Value(static_cast<double>(f)) {}
    Value(std::complex<double> c) noexcept
        : kind_(Kind::Complex)
        , data_(c) {}
    Value(const QString& s)
        : kind_(Kind::Str)
        , data_(s) {}
    Value(QString&& s) noexcept
        : kind_(Kind::Str)
        , data_(std::move(s)) {}
    Value(const char* s)
        : Value(QString::fromUtf8(s)) {}

    static Value list(std::vector<Value> items);
    static Value tuple(std::vector<Value> items);
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
    using Storage =
        std::variant<std::monostate, bool, std::int64_t, double, std::complex<double>, QString,
                     QByteArray, Items, QVector<double>, QVector<std::complex<double>>>;

    template <typename T> static std::int64_t checked_int(T i) {
        if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(std::int64_t)) {
            if (i > static_cast<T>(std::numeric_limits<std::int64_t>::max()))
                throw std::out_of_range("host::Value: integer does not fit in 64 signed bits");
        }
        return static_cast<std::int64_t>(i);
    }

    Value(Kind kind, Storage data) noexcept
        : kind_(kind)
        , data_(std::move(data)) {}

    Kind kind_ = Kind::None;
    Storage data_;
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

// ---------------------------------------------------------------------------
// Host contracts. The host program implements these; the panel only calls them.
// Every call comes from the GUI thread unless a member says otherwise.
// ---------------------------------------------------------------------------

/// A source of column names (the host's point and trace data boxes).
struct DataBox {
    virtual ~DataBox() = default;
    /// The names of the columns, in column order. Called by the toolbar on every
    /// re-match and tooltip refresh; right after "PN"/"TN" it must return the names just
    /// given to the matching Dataset. May be empty; should not throw.
    virtual QStringList column_names() const = 0;
};

/// The host main window, as the toolbar sees it (ToolBar::set_mainwindow).
struct HostWindow {
    virtual ~HostWindow() = default;
    /// Column names of the points family. The reference stays valid for the host's life.
    virtual DataBox& point_data_box() = 0;
    /// Column names of the traces family.
    virtual DataBox& trace_data_box() = 0;
    /// Connected to the toolbar's "AR" button; runs on every click. An exception thrown
    /// here is caught at the slot boundary and reported on the warning channel.
    virtual void all_enable_auto_range() = 0;
    /// Called by ToolBar::AR_action. Exceptions pass to AR_action's caller.
    virtual void enable_all_auto_range() = 0;
};

/// One of the two datasets (points, traces) that the command intake feeds.
/// Called by CmdPump::flush/handle on the GUI thread. Anything thrown ends the running
/// flush and reaches the host that called it; the item is then already consumed.
struct Dataset {
    virtual ~Dataset() = default;
    /// "PN" (points) or "TN" (traces): the payload, unchanged. Reject what is not a list
    /// of str with TypeError; the toolbar re-reads the names through the DataBox at once.
    virtual void set_column_names(const Value& names) = 0;
    /// "PD" (points) or "TD" (traces): one record, the payload unchanged.
    virtual void append(const Value& record) = 0;
    /// "ROLL": start a new generation. Only ever called on the point dataset.
    virtual void roll() = 0;
};

/// The command queue. The producer side lives in another process; the host owns this
/// end, and CmdPump is its only consumer, on the GUI thread.
struct Queue {
    virtual ~Queue() = default;
    /// True when no item waits. Must not block.
    virtual bool empty() = 0;
    /// Removes and returns the oldest item, waiting while there is none. Only called
    /// after empty() answered false.
    virtual Value get() = 0;
};

/// Places values on the system clipboard.
struct Clipboard {
    virtual ~Clipboard() = default;
    /// Puts text_form(value) on the clipboard. May throw; the plot widget reports it.
    virtual void copy(const Value& value) = 0;
};

// ---------------------------------------------------------------------------
// Warning channel and clipboard facility
// ---------------------------------------------------------------------------

/// Receives each warning. It must not throw: warn() is called where nothing may unwind
/// (Qt slots and event handlers, after an error was caught). A handler that throws all the
/// same is not obeyed: warn() catches what it throws and writes the warning, with the
/// handler's complaint, to the default channel instead. A test host that wants warnings
/// to fail a test records them and checks the record.
using WarningHandler = std::function<void(const QString&)>;

/// Issues a non-fatal diagnostic. The default handler writes it through the Qt logging
/// category "tellurix.lumenfold" at warning level. Never throws. GUI thread.
LUMENFOLD_HOST_EXPORT void warn(const QString& text) noexcept;
/// Installs `handler` (an empty function restores the default) and returns the one it
/// replaces (empty when that was the default).
LUMENFOLD_HOST_EXPORT WarningHandler set_warning_handler(WarningHandler handler);

/// Inside a catch block only: issues one warning "<where>: <what the exception says>"
/// ("unknown error" for an exception that is not a std::exception).
LUMENFOLD_HOST_EXPORT void warn_current_exception(const char* where) noexcept;

/// Runs `body` at a boundary no exception may cross (a Qt slot, an event handler): what
/// it throws becomes one warning "<where>: <reason>", `where` naming the class and the
/// operation ("ToolBar::textEdited"), and nothing leaves. Whatever `body` changed before
/// it threw stays changed.
template <typename Body> void guarded(const char* where, Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (...) {
        warn_current_exception(where);
    }
}

/// The installed clipboard facility, or nullptr when there is none. By default the
/// system clipboard, looked up at each copy (it works once a QGuiApplication exists).
LUMENFOLD_HOST_EXPORT Clipboard* clipboard();
/// Replaces the facility (nullptr: none). Not owned; it must outlive its use.
LUMENFOLD_HOST_EXPORT void set_clipboard(Clipboard* facility);

} // namespace host
} // namespace tellurix::lumenfold
