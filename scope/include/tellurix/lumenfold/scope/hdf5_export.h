// Saving what lumenfold-scope holds as an HDF5 file, for analysis tools (h5py, MATLAB,
// HDFView). The layout is fixed and documented in docs/scope.md:
//   /points/<g>/<column>  every generation held, g = 0 the oldest up to the newest;
//   /traces/<k>/<column>  every trace held, k = 0 the oldest;
// each dataset 1-D float64, or a compound of float64 `r` and `i` for a column that holds
// complex values; each group <g> and <k> has an attribute `columns` with the column names
// in order (variable-length UTF-8 strings).
#pragma once

#include <tellurix/lumenfold/scope/datasets.h>

#include <QString>

namespace tellurix::lumenfold::scope {

/// Writes `points` and `traces` to `file` (replaced if it exists). Returns false with the
/// reason in `error` (when given) and leaves no partial file behind. GUI thread (reads
/// the datasets as they are).
bool export_hdf5(const PointDataset& points, const TraceDataset& traces, const QString& file,
                 QString* error);

/// The name of column `column`'s dataset in its group: the column name itself, except
/// that '%' and '/' are written %25 and %2F, an empty name "%", "." "%2E", and a name
/// that repeats an earlier column's gets "%#<column>" appended (HDF5 names cannot hold
/// '/', be empty or be ".", and must be unique in their group).
QString hdf5_dataset_name(const QStringList& names, int column);

} // namespace tellurix::lumenfold::scope
