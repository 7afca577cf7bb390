// The errors every Lumenfold module throws: a value of the wrong kind, a pattern the
// regular-expression engine rejects, an operation that needed the host window first.
#pragma once

#include <tellurix/lumenfold/host_export.h>

#include <QString>

#include <stdexcept>

namespace tellurix::lumenfold {

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

} // namespace tellurix::lumenfold
