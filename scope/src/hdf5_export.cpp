#include <tellurix/lumenfold/scope/hdf5_export.h>

#include <QFile>

#include <hdf5.h>

#include <algorithm>
#include <complex>
#include <stdexcept>
#include <string>
#include <vector>

namespace tellurix::lumenfold::scope {

namespace {

// What failed, and HDF5's own innermost words for why.
struct Hdf5Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

herr_t keep_last_description(unsigned, const H5E_error2_t* e, void* out) {
    if (e != nullptr && e->desc != nullptr && e->desc[0] != '\0')
        *static_cast<std::string*>(out) = e->desc;
    return 0;
}

[[noreturn]] void fail(const QString& what) {
    std::string why;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, keep_last_description, &why);
    throw Hdf5Error(why.empty() ? what.toStdString() : what.toStdString() + ": " + why);
}

// One HDF5 identifier, closed with its own function when the scope ends.
class Handle {
public:
    Handle(hid_t id, herr_t (*close)(hid_t), const QString& what)
        : id_(id)
        , close_(close) {
        if (id_ < 0)
            fail(what);
    }
    ~Handle() { close_(id_); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    operator hid_t() const { return id_; }

private:
    hid_t id_;
    herr_t (*close_)(hid_t);
};

// While it lives, HDF5 keeps its error stacks to itself instead of printing them.
class QuietErrors {
public:
    QuietErrors() {
        H5Eget_auto2(H5E_DEFAULT, &func_, &data_);
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    }
    ~QuietErrors() { H5Eset_auto2(H5E_DEFAULT, func_, data_); }

private:
    H5E_auto2_t func_ = nullptr;
    void* data_ = nullptr;
};

void write_names(hid_t group, const QStringList& names, const QString& where) {
    std::vector<QByteArray> utf8;
    std::vector<const char*> pointers;
    utf8.reserve(static_cast<std::size_t>(names.size()));
    pointers.reserve(static_cast<std::size_t>(names.size()));
    for (const QString& n : names)
        utf8.push_back(n.toUtf8());
    for (const QByteArray& b : utf8)
        pointers.push_back(b.constData());
    Handle type(H5Tcopy(H5T_C_S1), H5Tclose, where);
    if (H5Tset_size(type, H5T_VARIABLE) < 0 || H5Tset_cset(type, H5T_CSET_UTF8) < 0)
        fail(where);
    const hsize_t count = static_cast<hsize_t>(names.size());
    Handle space(H5Screate_simple(1, &count, nullptr), H5Sclose, where);
    Handle attr(H5Acreate2(group, "columns", type, space, H5P_DEFAULT, H5P_DEFAULT), H5Aclose,
                where + QStringLiteral(": cannot create the attribute 'columns'"));
    if (!pointers.empty() && H5Awrite(attr, type, pointers.data()) < 0)
        fail(where + QStringLiteral(": cannot write the attribute 'columns'"));
}

void write_column(hid_t group, const Generation& g, int column, const QString& name,
                  const QString& where) {
    const QByteArray link = name.toUtf8();
    const hsize_t rows = static_cast<hsize_t>(g.rows());
    Handle space(H5Screate_simple(1, &rows, nullptr), H5Sclose, where);
    Handle link_props(H5Pcreate(H5P_LINK_CREATE), H5Pclose, where);
    H5Pset_char_encoding(link_props, H5T_CSET_UTF8);
    const double* im = g.imag(column);
    if (im == nullptr) {
        Handle set(H5Dcreate2(group, link.constData(), H5T_IEEE_F64LE, space, link_props,
                              H5P_DEFAULT, H5P_DEFAULT),
                   H5Dclose, where + QStringLiteral(": cannot create '%1'").arg(name));
        if (rows > 0 &&
            H5Dwrite(set, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, g.real(column)) < 0)
            fail(where + QStringLiteral(": cannot write '%1'").arg(name));
        return;
    }
    // The layout h5py reads as complex128: a compound of float64 fields r and i.
    Handle file_type(H5Tcreate(H5T_COMPOUND, 16), H5Tclose, where);
    Handle memory_type(H5Tcreate(H5T_COMPOUND, sizeof(std::complex<double>)), H5Tclose, where);
    if (H5Tinsert(file_type, "r", 0, H5T_IEEE_F64LE) < 0 ||
        H5Tinsert(file_type, "i", 8, H5T_IEEE_F64LE) < 0 ||
        H5Tinsert(memory_type, "r", 0, H5T_NATIVE_DOUBLE) < 0 ||
        H5Tinsert(memory_type, "i", sizeof(double), H5T_NATIVE_DOUBLE) < 0)
        fail(where);
    std::vector<std::complex<double>> values(static_cast<std::size_t>(rows));
    const double* re = g.real(column);
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = {re[i], im[i]};
    Handle set(
        H5Dcreate2(group, link.constData(), file_type, space, link_props, H5P_DEFAULT, H5P_DEFAULT),
        H5Dclose, where + QStringLiteral(": cannot create '%1'").arg(name));
    if (rows > 0 && H5Dwrite(set, memory_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()) < 0)
        fail(where + QStringLiteral(": cannot write '%1'").arg(name));
}

// /<top>/<g>/<column> for every generation, g = 0 the oldest (the datasets count ages
// from the newest).
void write_dataset(hid_t file, const char* top, const ColumnDataset& data) {
    const QString top_path = QStringLiteral("/%1").arg(QLatin1String(top));
    Handle top_group(H5Gcreate2(file, top, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Gclose,
                     QStringLiteral("cannot create %1").arg(top_path));
    const QStringList names = data.column_names();
    const std::size_t count = data.generation_count();
    for (std::size_t g = 0; g < count; ++g) {
        const Generation& gen = data.generation(count - 1 - g);
        const QString where = QStringLiteral("%1/%2").arg(top_path).arg(g);
        const QByteArray key = QByteArray::number(static_cast<qulonglong>(g));
        Handle group(H5Gcreate2(top_group, key.constData(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
                     H5Gclose, QStringLiteral("cannot create %1").arg(where));
        write_names(group, names, where);
        const int columns = std::min(gen.columns(), static_cast<int>(names.size()));
        for (int c = 0; c < columns; ++c)
            write_column(group, gen, c, hdf5_dataset_name(names, c), where);
    }
}

} // namespace

QString hdf5_dataset_name(const QStringList& names, int column) {
    const QString& name = names.at(column);
    QString link;
    if (name.isEmpty())
        link = QStringLiteral("%");
    else if (name == QLatin1String("."))
        link = QStringLiteral("%2E");
    else {
        link = name;
        link.replace(QLatin1Char('%'), QLatin1String("%25"));
        link.replace(QLatin1Char('/'), QLatin1String("%2F"));
    }
    for (int c = 0; c < column; ++c)
        if (names.at(c) == name)
            return link + QStringLiteral("%#%1").arg(column);
    return link;
}

bool export_hdf5(const PointDataset& points, const TraceDataset& traces, const QString& file,
                 QString* error) {
    const QuietErrors quiet;
    const QByteArray path = QFile::encodeName(file);
    bool created = false;
    try {
        {
            Handle h(H5Fcreate(path.constData(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose,
                     QStringLiteral("cannot create %1").arg(file));
            created = true;
            write_dataset(h, "points", points);
            write_dataset(h, "traces", traces);
            if (H5Fflush(h, H5F_SCOPE_GLOBAL) < 0)
                fail(QStringLiteral("cannot write %1").arg(file));
        }
        return true;
    } catch (const Hdf5Error& e) {
        if (error != nullptr)
            *error = QString::fromStdString(e.what());
        if (created) // a half-written file would only mislead whoever opens it
            QFile::remove(file);
        return false;
    }
}

} // namespace tellurix::lumenfold::scope
