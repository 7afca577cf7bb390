// The two in-memory datasets of lumenfold-scope: points (one row per "PD" record, grouped
// in generations that "ROLL" closes) and traces (one whole trace per "TD" record).
//
// Both keep their values packed per column (real parts, and imaginary parts only for a
// column that has received a complex value), never one allocation per value, and both are
// bounded: the point dataset holds at most `max_rows` rows over all its generations and at
// most `max_generations` generations; the trace dataset at most `max_traces` traces. Both
// also hold at most `max_bytes` bytes of values (8 per real value, 16 per complex one),
// since a row of thousands of columns makes a row count alone meaningless. Whichever bound
// is reached, the oldest data goes first.
// Generation 0 is always the newest (the current generation of points, the last trace).
//
// A record that does not fit the columns is rejected with std::invalid_argument (TypeError
// for a payload of the wrong kind) and changes nothing; so is a single record larger than
// `max_bytes`, and a list of names that holds a name twice (a pair of names must say which
// two columns it plots). Everything runs on the GUI thread.
#pragma once

#include <tellurix/lumenfold/host.h>

#include <QStringList>
#include <QVector>

#include <algorithm>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

namespace tellurix::lumenfold::scope {

/// What the scope lets its datasets hold when not told otherwise: a quarter of physical
/// memory (1 GiB where it cannot be read).
std::size_t default_max_memory();

/// One generation: rows of every column, oldest first. A generation is identified by a
/// uid that no other generation of the process shares, and its revision grows whenever its
/// rows change, so a viewer can tell cheaply whether what it drew is still current.
class Generation {
public:
    std::uint64_t uid() const noexcept { return uid_; }
    std::uint64_t revision() const noexcept { return revision_; }
    int rows() const noexcept { return rows_; }
    int columns() const noexcept { return static_cast<int>(re_.size()); }
    bool is_complex(int column) const { return complex_.at(static_cast<std::size_t>(column)); }
    /// Real parts of the live rows of `column` (rows() values).
    const double* real(int column) const;
    /// Imaginary parts of the live rows, or nullptr when every value of the column is real.
    const double* imag(int column) const;
    std::complex<double> value(int column, int row) const;
    /// Bytes of the values of one row: 8 per real column, 16 per complex one.
    std::size_t row_bytes() const noexcept { return row_bytes_; }

private:
    friend class ColumnDataset;
    friend class PointDataset;
    friend class TraceDataset;
    Generation(std::uint64_t uid, int columns);
    void push_row(const std::vector<std::complex<double>>& row, const std::vector<bool>& cplx);
    void drop_oldest(int count);
    /// Room for one more row: reuses the room of dropped rows once they are a good part of
    /// the buffers, else grows them by half, so a full ring does not double its memory.
    void make_room();
    void compact();
    /// Gives back the room kept for growth (a generation that "ROLL" closed never grows).
    void shrink_to_fit();
    void turn_complex(std::size_t column);

    std::uint64_t uid_;
    std::uint64_t revision_ = 0;
    int first_ = 0; // rows before first_ were dropped; removed from the buffers in bulk
    int rows_ = 0;
    std::vector<QVector<double>> re_;
    std::vector<QVector<double>> im_; // allocated once a column receives a complex value
    std::vector<bool> complex_;
    std::size_t row_bytes_;
};

/// What both datasets share: the column names (also the data box the toolbar reads) and
/// the generations, newest first.
class ColumnDataset : public host::Dataset, public host::DataBox {
public:
    QStringList column_names() const override { return names_; }
    std::size_t generation_count() const noexcept { return generations_.size(); }
    /// Generation `age`: 0 is the newest. std::out_of_range past the end.
    const Generation& generation(std::size_t age) const;
    /// Grows on every change of names, rows or generations.
    std::uint64_t revision() const noexcept { return revision_; }
    /// Rows held over all generations (for traces: points over all traces).
    std::size_t rows_held() const noexcept;
    /// Bytes of values held over all generations (see Generation::row_bytes).
    std::size_t bytes_held() const noexcept;
    std::size_t max_bytes() const noexcept { return max_bytes_; }
    static constexpr std::size_t unbounded = std::numeric_limits<std::size_t>::max();
    /// Keeps only the newest generation (the "CLR" request).
    void clear_history();
    /// Drops everything, names kept.
    void clear();

protected:
    ColumnDataset(const char* class_name, std::size_t max_bytes)
        : class_name_(class_name)
        , max_bytes_(std::max<std::size_t>(max_bytes, 1)) {}
    /// Checks that `names` is a list of str, each given once; returns them. Does not store
    /// them.
    QStringList checked_names(const host::Value& names) const;
    /// Validates one value of a record, returning it as complex; `is_complex` tells whether
    /// it carried an imaginary part.
    /// `column` and `index` (-1 for none) name the value in the error only.
    std::complex<double> checked_number(const host::Value& v, int column, int index,
                                        bool& is_complex) const;
    Generation& push_generation();
    QString op(const char* operation) const;
    /// Refuses a record whose values alone would take more than max_bytes.
    void check_fits(std::size_t bytes, const char* what) const;

    const char* class_name_;
    std::size_t max_bytes_;
    QStringList names_;
    std::deque<Generation> generations_;
    std::uint64_t revision_ = 0;
};

class PointDataset : public ColumnDataset {
public:
    static constexpr std::size_t default_max_rows = 1'000'000;
    static constexpr std::size_t default_max_generations = 8;
    explicit PointDataset(std::size_t max_rows = default_max_rows,
                          std::size_t max_generations = default_max_generations,
                          std::size_t max_bytes = unbounded);

    /// A list of str, each name once. New names (not the ones held) drop every row; the
    /// same names again (a producer that restarted) keep them.
    void set_column_names(const host::Value& names) override;
    /// One row: a list or tuple of numbers (int, float, complex), or a float64 or complex128
    /// array, with exactly one value per column.
    void append(const host::Value& record) override;
    /// Closes the current generation and opens a new one. Rolling an empty generation does
    /// nothing, so that repeated rolls do not push the history out with empty curves.
    void roll() override;

    std::size_t max_rows() const noexcept { return max_rows_; }
    std::size_t max_generations() const noexcept { return max_generations_; }

private:
    void enforce_limits();

    std::size_t max_rows_;
    std::size_t max_generations_;
    std::vector<std::complex<double>> row_; // reused for every record
    std::vector<bool> row_complex_;
};

class TraceDataset : public ColumnDataset {
public:
    static constexpr std::size_t default_max_traces = 8;
    explicit TraceDataset(std::size_t max_traces = default_max_traces,
                          std::size_t max_bytes = unbounded);

    /// A list of str, each name once. New names drop every trace; the same names again
    /// keep them.
    void set_column_names(const host::Value& names) override;
    /// One trace: a list or tuple with one entry per column, each a float64 or complex128
    /// array or a list of numbers, all of the same length. A float64 array is kept without a
    /// copy (it shares the payload's buffer).
    void append(const host::Value& record) override;
    /// Traces have no generations of rows to close: every trace is one. Does nothing.
    void roll() override {}

    std::size_t max_traces() const noexcept { return max_traces_; }

private:
    std::size_t max_traces_;
};

} // namespace tellurix::lumenfold::scope
