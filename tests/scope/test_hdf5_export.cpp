// The HDF5 export's edges that h5py cannot see from outside: how column names that HDF5
// cannot take become dataset names, and an export that fails leaves no file behind
// (while one that cannot even start leaves an existing file alone).
#include <tellurix/lumenfold/scope/hdf5_export.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>

using namespace tellurix::lumenfold;

namespace {

struct NameCase {
    const char* name;
    QStringList names;
    QStringList links;
};

class Hdf5DatasetName : public ::testing::TestWithParam<NameCase> {};

TEST_P(Hdf5DatasetName, IsAValidUniqueHdf5Name) {
    const NameCase& c = GetParam();
    QStringList links;
    for (int i = 0; i < c.names.size(); ++i)
        links << scope::hdf5_dataset_name(c.names, i);
    EXPECT_EQ(links, c.links);
    for (const QString& l : links) {
        EXPECT_FALSE(l.isEmpty() || l == QLatin1String(".") || l.contains(QLatin1Char('/')))
            << l.toStdString();
        EXPECT_EQ(links.count(l), 1) << l.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Hdf5DatasetName,
    ::testing::Values(
        NameCase{"plain", {"t", "volts", "µV"}, {"t", "volts", "µV"}},
        NameCase{"slash_and_percent", {"mag/dB", "50%", "%2F"}, {"mag%2FdB", "50%25", "%252F"}},
        NameCase{"empty_and_dot", {"", ".", ".."}, {"%", "%2E", ".."}},
        NameCase{"repeated", {"f", "a", "f", "f"}, {"f", "a", "f%#2", "f%#3"}},
        NameCase{"repeat_that_looks_escaped", {"a/", "a%2F", "a/"}, {"a%2F", "a%252F", "a%2F%#2"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Hdf5Export, WritesAFileAndFailsWithAReason) {
    QTemporaryDir dir;
    scope::PointDataset points;
    scope::TraceDataset traces;
    points.set_column_names(host::Value::str_list({"t", "v"}));
    points.append(host::Value::list({1.0, 2.0}));

    const QString good = dir.filePath(QStringLiteral("ok.h5"));
    QString error;
    EXPECT_TRUE(scope::export_hdf5(points, traces, good, &error)) << error.toStdString();
    EXPECT_GT(QFile(good).size(), 0);

    const QString missing = dir.filePath(QStringLiteral("no/such/dir.h5"));
    EXPECT_FALSE(scope::export_hdf5(points, traces, missing, &error));
    EXPECT_TRUE(error.startsWith(QStringLiteral("cannot create ") + missing))
        << error.toStdString();
    EXPECT_FALSE(QFile::exists(missing));

    // A file HDF5 cannot replace (a directory in the way) is refused and left as it was.
    const QString taken = dir.filePath(QStringLiteral("taken.h5"));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("taken.h5")));
    EXPECT_FALSE(scope::export_hdf5(points, traces, taken, &error));
    EXPECT_TRUE(QDir(taken).exists());
}

} // namespace
