#include <tellurix/lumenfold/scope/datasets.h>

#include <QHash>

#include <algorithm>
#include <stdexcept>

#include <unistd.h>

namespace tellurix::lumenfold::scope {

namespace {

// Dropped rows stay in the buffers until this many have piled up (and at least as many as
// remain), so trimming the oldest row of a full ring costs one memmove per many appends.
constexpr int compaction_threshold = 4096;

std::uint64_t next_uid() {
    static std::uint64_t uid = 0;
    return ++uid;
}

std::invalid_argument shape_error(const QString& text) {
    return std::invalid_argument(text.toStdString());
}

constexpr std::size_t real_bytes = sizeof(double);

} // namespace

std::size_t default_max_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page <= 0)
        return std::size_t(1) << 30;
    return static_cast<std::size_t>(pages) / 4 * static_cast<std::size_t>(page);
}

// ---------------------------------------------------------------------------
// Generation
// ---------------------------------------------------------------------------

Generation::Generation(std::uint64_t uid, int columns)
    : uid_(uid)
    , re_(static_cast<std::size_t>(columns))
    , im_(static_cast<std::size_t>(columns))
    , complex_(static_cast<std::size_t>(columns), false)
    , row_bytes_(static_cast<std::size_t>(columns) * real_bytes) {}

const double* Generation::real(int column) const {
    return re_.at(static_cast<std::size_t>(column)).constData() + first_;
}

const double* Generation::imag(int column) const {
    const auto c = static_cast<std::size_t>(column);
    return complex_.at(c) ? im_[c].constData() + first_ : nullptr;
}

std::complex<double> Generation::value(int column, int row) const {
    if (row < 0 || row >= rows_)
        throw std::out_of_range("Generation::value: row out of range");
    const double* im = imag(column);
    return {real(column)[row], im ? im[row] : 0.0};
}

void Generation::turn_complex(std::size_t column) {
    // Earlier rows were real; the imaginary buffer gets the same room as the real one.
    im_[column].reserve(re_[column].capacity());
    im_[column].fill(0.0, re_[column].size());
    complex_[column] = true;
    row_bytes_ += real_bytes;
}

void Generation::make_room() {
    if (re_.empty())
        return;
    const int length = re_[0].size();
    if (length < re_[0].capacity())
        return;
    if (first_ > 0 && first_ >= length / 4) {
        compact();
        return;
    }
    const int wanted = length + std::max(length / 2, 64);
    for (std::size_t c = 0; c < re_.size(); ++c) {
        re_[c].reserve(wanted);
        if (complex_[c])
            im_[c].reserve(wanted);
    }
}

void Generation::compact() {
    if (first_ == 0)
        return;
    for (auto* columns : {&re_, &im_})
        for (QVector<double>& col : *columns)
            if (!col.isEmpty())
                col.remove(0, first_);
    first_ = 0;
}

void Generation::shrink_to_fit() {
    compact();
    for (auto* columns : {&re_, &im_})
        for (QVector<double>& col : *columns)
            col.squeeze();
}

void Generation::push_row(const std::vector<std::complex<double>>& row,
                          const std::vector<bool>& cplx) {
    make_room();
    for (std::size_t c = 0; c < re_.size(); ++c) {
        if (cplx[c] && !complex_[c])
            turn_complex(c);
        re_[c].append(row[c].real());
        if (complex_[c])
            im_[c].append(row[c].imag());
    }
    ++rows_;
    ++revision_;
}

void Generation::drop_oldest(int count) {
    count = std::min(count, rows_);
    if (count <= 0)
        return;
    first_ += count;
    rows_ -= count;
    ++revision_;
    if (first_ >= compaction_threshold && first_ >= rows_)
        compact();
}

// ---------------------------------------------------------------------------
// ColumnDataset
// ---------------------------------------------------------------------------

const Generation& ColumnDataset::generation(std::size_t age) const {
    if (age >= generations_.size())
        throw std::out_of_range("ColumnDataset::generation: no generation of that age");
    return generations_[age];
}

std::size_t ColumnDataset::rows_held() const noexcept {
    std::size_t n = 0;
    for (const Generation& g : generations_)
        n += static_cast<std::size_t>(g.rows());
    return n;
}

std::size_t ColumnDataset::bytes_held() const noexcept {
    std::size_t n = 0;
    for (const Generation& g : generations_)
        n += static_cast<std::size_t>(g.rows()) * g.row_bytes();
    return n;
}

void ColumnDataset::check_fits(std::size_t bytes, const char* what) const {
    if (bytes > max_bytes_)
        throw shape_error(QStringLiteral("%1(): the %2 takes %3 bytes, more than the %4 bytes "
                                         "this dataset may hold")
                              .arg(op("append"), QLatin1String(what))
                              .arg(bytes)
                              .arg(max_bytes_));
}

void ColumnDataset::clear_history() {
    if (generations_.size() > 1) {
        generations_.erase(generations_.begin() + 1, generations_.end());
        ++revision_;
    }
}

void ColumnDataset::clear() {
    generations_.clear();
    ++revision_;
}

QString ColumnDataset::op(const char* operation) const {
    return QStringLiteral("%1::%2").arg(QLatin1String(class_name_), QLatin1String(operation));
}

QStringList ColumnDataset::checked_names(const host::Value& names) const {
    const QString where = op("set_column_names");
    if (!names.is_list())
        throw TypeError(where, QStringLiteral("names"), QStringLiteral("list of str"),
                        names.type_name());
    QStringList result;
    const std::vector<host::Value>& items = names.items();
    result.reserve(static_cast<int>(items.size()));
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!items[i].is_str())
            throw TypeError(where, QStringLiteral("names[%1]").arg(i), QStringLiteral("str"),
                            items[i].type_name());
        result.append(items[i].as_str());
    }
    // Pairs are pairs of names: with a name twice, a pair could not say which column it
    // plots, and every plot would show the first one.
    QHash<QString, int> seen;
    seen.reserve(result.size());
    QStringList twice;
    for (const QString& name : result)
        if (++seen[name] == 2)
            twice.append(name);
    if (!twice.isEmpty()) {
        constexpr int shown = 10;
        QStringList quoted;
        for (int i = 0; i < std::min<int>(twice.size(), shown); ++i)
            quoted.append(host::quoted_form(host::Value(twice[i])));
        QString list = quoted.join(QStringLiteral(", "));
        if (twice.size() > shown)
            list += QStringLiteral(" and %1 more").arg(twice.size() - shown);
        const QString subject = twice.size() == 1 ? QStringLiteral("the name %1 is")
                                                  : QStringLiteral("the names %1 are");
        throw shape_error(QStringLiteral("%1(): %2 given more than once; every column needs a "
                                         "name of its own")
                              .arg(where, subject.arg(list)));
    }
    return result;
}

std::complex<double> ColumnDataset::checked_number(const host::Value& v, int column, int index,
                                                   bool& is_complex) const {
    switch (v.kind()) {
    case host::Value::Kind::Int:
    case host::Value::Kind::Float:
        is_complex = false;
        return {v.as_float(), 0.0};
    case host::Value::Kind::Complex:
        is_complex = true;
        return v.as_complex();
    default:
        // A bool is refused on purpose: True in a data row is a producer bug, not the number 1.
        QString parameter = QStringLiteral("record[%1]").arg(column);
        if (index >= 0)
            parameter += QStringLiteral("[%1]").arg(index);
        throw TypeError(op("append"), parameter, QStringLiteral("int, float or complex"),
                        v.type_name());
    }
}

Generation& ColumnDataset::push_generation() {
    generations_.emplace_front(Generation(next_uid(), names_.size()));
    ++revision_;
    return generations_.front();
}

// ---------------------------------------------------------------------------
// PointDataset
// ---------------------------------------------------------------------------

PointDataset::PointDataset(std::size_t max_rows, std::size_t max_generations, std::size_t max_bytes)
    : ColumnDataset("PointDataset", max_bytes)
    , max_rows_(std::max<std::size_t>(max_rows, 1))
    , max_generations_(std::max<std::size_t>(max_generations, 1)) {}

void PointDataset::set_column_names(const host::Value& names) {
    QStringList checked = checked_names(names);
    if (checked == names_ && !generations_.empty())
        return;
    names_ = std::move(checked);
    generations_.clear();
    push_generation();
}

void PointDataset::append(const host::Value& record) {
    if (generations_.empty())
        throw shape_error(
            QStringLiteral("%1(): no column names yet; send \"PN\" first").arg(op("append")));
    const int ncols = names_.size();
    row_.resize(static_cast<std::size_t>(ncols));
    row_complex_.assign(static_cast<std::size_t>(ncols), false);

    int given = 0;
    switch (record.kind()) {
    case host::Value::Kind::List:
    case host::Value::Kind::Tuple: {
        const std::vector<host::Value>& items = record.items();
        given = static_cast<int>(items.size());
        if (given != ncols)
            break;
        for (int c = 0; c < ncols; ++c) {
            bool cplx = false;
            row_[static_cast<std::size_t>(c)] =
                checked_number(items[static_cast<std::size_t>(c)], c, -1, cplx);
            row_complex_[static_cast<std::size_t>(c)] = cplx;
        }
        break;
    }
    case host::Value::Kind::FloatArray: {
        const QVector<double>& a = record.as_float_array();
        given = a.size();
        if (given == ncols)
            for (int c = 0; c < ncols; ++c)
                row_[static_cast<std::size_t>(c)] = {a[c], 0.0};
        break;
    }
    case host::Value::Kind::ComplexArray: {
        const QVector<std::complex<double>>& a = record.as_complex_array();
        given = a.size();
        if (given == ncols)
            for (int c = 0; c < ncols; ++c) {
                row_[static_cast<std::size_t>(c)] = a[c];
                row_complex_[static_cast<std::size_t>(c)] = true;
            }
        break;
    }
    default:
        throw TypeError(op("append"), QStringLiteral("record"),
                        QStringLiteral("list, tuple, float64 array or complex128 array"),
                        record.type_name());
    }
    if (given != ncols)
        throw shape_error(QStringLiteral("%1(): the record has %2 value(s) but there are %3 "
                                         "columns %4")
                              .arg(op("append"))
                              .arg(given)
                              .arg(ncols)
                              .arg(host::text_form(host::Value::str_list(names_))));
    Generation& newest = generations_.front();
    std::size_t bytes = newest.row_bytes();
    for (std::size_t c = 0; c < row_complex_.size(); ++c)
        if (row_complex_[c] && !newest.is_complex(static_cast<int>(c)))
            bytes += real_bytes;
    check_fits(bytes, "row");
    newest.push_row(row_, row_complex_);
    ++revision_;
    enforce_limits();
}

void PointDataset::roll() {
    if (generations_.empty() || generations_.front().rows() == 0)
        return;
    generations_.front().shrink_to_fit();
    push_generation();
    enforce_limits();
}

void PointDataset::enforce_limits() {
    while (generations_.size() > max_generations_)
        generations_.pop_back();
    std::size_t held = rows_held();
    std::size_t bytes = bytes_held();
    while (held > max_rows_ || bytes > max_bytes_) {
        Generation& oldest = generations_.back();
        const std::size_t per_row = oldest.row_bytes();
        std::size_t excess = held > max_rows_ ? held - max_rows_ : 0;
        if (bytes > max_bytes_ && per_row > 0)
            excess = std::max(excess, (bytes - max_bytes_ + per_row - 1) / per_row);
        const auto rows = static_cast<std::size_t>(oldest.rows());
        if (generations_.size() > 1 && rows <= excess) {
            generations_.pop_back();
            held -= rows;
            bytes -= rows * per_row;
        } else {
            // The newest row alone never exceeds max_bytes (append checks), so this ends.
            const std::size_t k = std::min(excess, rows);
            oldest.drop_oldest(static_cast<int>(k));
            held -= k;
            bytes -= k * per_row;
        }
    }
}

// ---------------------------------------------------------------------------
// TraceDataset
// ---------------------------------------------------------------------------

TraceDataset::TraceDataset(std::size_t max_traces, std::size_t max_bytes)
    : ColumnDataset("TraceDataset", max_bytes)
    , max_traces_(std::max<std::size_t>(max_traces, 1)) {}

void TraceDataset::set_column_names(const host::Value& names) {
    QStringList checked = checked_names(names);
    if (checked == names_)
        return;
    names_ = std::move(checked);
    generations_.clear();
    ++revision_;
}

void TraceDataset::append(const host::Value& record) {
    const QString where = op("append");
    if (names_.isEmpty())
        throw shape_error(
            QStringLiteral("%1(): no column names yet; send \"TN\" first").arg(where));
    if (!record.is_list() && !record.is_tuple())
        throw TypeError(where, QStringLiteral("record"),
                        QStringLiteral("list of arrays, one per column"), record.type_name());
    const std::vector<host::Value>& items = record.items();
    const int ncols = names_.size();
    if (static_cast<int>(items.size()) != ncols)
        throw shape_error(QStringLiteral("%1(): the trace has %2 array(s) but there are %3 "
                                         "columns %4")
                              .arg(where)
                              .arg(items.size())
                              .arg(ncols)
                              .arg(host::text_form(host::Value::str_list(names_))));

    // Build the whole trace aside: a bad column anywhere leaves the dataset as it was.
    Generation trace(next_uid(), ncols);
    int length = -1;
    for (int c = 0; c < ncols; ++c) {
        const host::Value& v = items[static_cast<std::size_t>(c)];
        QVector<double>& re = trace.re_[static_cast<std::size_t>(c)];
        QVector<double>& im = trace.im_[static_cast<std::size_t>(c)];
        auto complex_column = trace.complex_.begin() + c;
        switch (v.kind()) {
        case host::Value::Kind::FloatArray:
            re = v.as_float_array(); // shares the payload's buffer
            break;
        case host::Value::Kind::ComplexArray: {
            const QVector<std::complex<double>>& a = v.as_complex_array();
            re.resize(a.size());
            im.resize(a.size());
            *complex_column = true;
            for (int i = 0; i < a.size(); ++i) {
                re[i] = a[i].real();
                im[i] = a[i].imag();
            }
            break;
        }
        case host::Value::Kind::List:
        case host::Value::Kind::Tuple: {
            const std::vector<host::Value>& xs = v.items();
            re.resize(static_cast<int>(xs.size()));
            for (std::size_t i = 0; i < xs.size(); ++i) {
                bool cplx = false;
                const std::complex<double> z = checked_number(xs[i], c, static_cast<int>(i), cplx);
                re[static_cast<int>(i)] = z.real();
                if (cplx && !*complex_column) {
                    im.fill(0.0, re.size());
                    *complex_column = true;
                }
                if (*complex_column)
                    im[static_cast<int>(i)] = z.imag();
            }
            break;
        }
        default:
            throw TypeError(where, QStringLiteral("record[%1]").arg(c),
                            QStringLiteral("float64 array, complex128 array or list of numbers"),
                            v.type_name());
        }
        if (length >= 0 && re.size() != length)
            throw shape_error(QStringLiteral("%1(): column '%2' has %3 value(s) but column "
                                             "'%4' has %5; every column of a trace needs the "
                                             "same length")
                                  .arg(where, names_[c])
                                  .arg(re.size())
                                  .arg(names_[0])
                                  .arg(length));
        length = re.size();
    }
    trace.rows_ = std::max(length, 0);
    for (std::size_t c = 0; c < trace.complex_.size(); ++c)
        if (trace.complex_[c])
            trace.row_bytes_ += real_bytes;
    const std::size_t trace_bytes = static_cast<std::size_t>(trace.rows_) * trace.row_bytes_;
    check_fits(trace_bytes, "trace");
    generations_.push_front(std::move(trace));
    std::size_t bytes = bytes_held();
    while (generations_.size() > max_traces_ || (bytes > max_bytes_ && generations_.size() > 1)) {
        const Generation& oldest = generations_.back();
        bytes -= static_cast<std::size_t>(oldest.rows()) * oldest.row_bytes();
        generations_.pop_back();
    }
    ++revision_;
}

} // namespace tellurix::lumenfold::scope
