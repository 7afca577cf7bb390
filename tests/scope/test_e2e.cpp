// The real program, as a user starts it: `lumenfold-scope --demo` on an X server (Xvfb,
// started by xvfb-run), saving a screenshot after a few seconds. Every plot area of the
// picture must hold drawn curves. And a headless run, as a script starts it: what it
// prints must be readable whatever the producer sends.
#include <QColor>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct Area {
    QRect rect;
    QString x, y;
};

// `plot <i> <x> <y> <w> <h> <X name> <Y name>`, the names as JSON strings.
std::vector<Area> plot_lines(const QString& out) {
    static const QRegularExpression line(QStringLiteral(
        R"(^plot \d+ (-?\d+) (-?\d+) (\d+) (\d+) ("(?:[^"\\]|\\.)*") ("(?:[^"\\]|\\.)*")$)"));
    std::vector<Area> areas;
    for (const QString& text : out.split('\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = line.match(text);
        EXPECT_TRUE(m.hasMatch()) << "not a plot line: " << text.toStdString();
        if (!m.hasMatch())
            continue;
        const QJsonArray names =
            QJsonDocument::fromJson(
                QStringLiteral("[%1,%2]").arg(m.captured(5), m.captured(6)).toUtf8())
                .array();
        areas.push_back({QRect(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt(),
                               m.captured(4).toInt()),
                         names.at(0).toString(), names.at(1).toString()});
    }
    return areas;
}

// Curves are saturated colours; the background is white, the grid grey, the text black.
int curve_pixels(const QImage& image, const QRect& rect) {
    int n = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            if (QColor(image.pixel(x, y)).hslSaturation() > 60)
                ++n;
    return n;
}

} // namespace

TEST(ScopeProgram, DemoDrawsCurvesInEveryPlot) {
    const QString xvfb_run = QStandardPaths::findExecutable(QStringLiteral("xvfb-run"));
    ASSERT_FALSE(xvfb_run.isEmpty()) << "xvfb-run (package xvfb) is needed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString shot = dir.filePath(QStringLiteral("scope.png"));

    QProcess scope;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM")); // the X server, not offscreen
    // A fresh layout, and none of the user's settings touched.
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.path());
    scope.setProcessEnvironment(env);
    scope.start(
        xvfb_run,
        {QStringLiteral("-a"), QStringLiteral("-s"), QStringLiteral("-screen 0 1280x1024x24"),
         QStringLiteral(LUMENFOLD_SCOPE_EXE), QStringLiteral("--demo"), QStringLiteral("--listen"),
         QStringLiteral("ipc://%1/scope.ipc").arg(dir.path()), QStringLiteral("--screenshot"), shot,
         QStringLiteral("--quit-after"), QStringLiteral("3")});
    ASSERT_TRUE(scope.waitForFinished(120'000)) << "the scope did not quit";
    const QString err = QString::fromUtf8(scope.readAllStandardError());
    ASSERT_EQ(scope.exitStatus(), QProcess::NormalExit) << err.toStdString();
    ASSERT_EQ(scope.exitCode(), 0) << err.toStdString();

    const std::vector<Area> areas = plot_lines(QString::fromUtf8(scope.readAllStandardOutput()));
    ASSERT_GE(areas.size(), 2u) << "the demo pattern matches several pairs";

    QImage image(shot);
    ASSERT_FALSE(image.isNull()) << "no screenshot at " << shot.toStdString();
    for (const Area& a : areas) {
        ASSERT_TRUE(image.rect().contains(a.rect)) << a.x.toStdString();
        EXPECT_GT(a.rect.width(), 100);
        EXPECT_GT(a.rect.height(), 60);
        // A curve across the plot leaves at least a few hundred coloured pixels.
        EXPECT_GT(curve_pixels(image, a.rect), 300)
            << "plot of " << a.y.toStdString() << " against " << a.x.toStdString();
    }
}

// No display, a producer that sends names with line breaks and quotes and hundreds of bad
// rows: every plot is one line of the report, and the errors reach stderr, counted.
TEST(ScopeProgram, HeadlessRunReportsErrorsAndQuotesNames) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString endpoint = QStringLiteral("ipc://%1/scope.ipc").arg(dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    const QString path = env.value(QStringLiteral("PYTHONPATH"));
    env.insert(QStringLiteral("PYTHONPATH"),
               (path.isEmpty() ? QString() : path + QLatin1Char(':')) +
                   QStringLiteral(LUMENFOLD_PYTHON_DIR));

    QProcess scope;
    scope.setProcessEnvironment(env);
    scope.start(QStringLiteral(LUMENFOLD_SCOPE_EXE),
                {QStringLiteral("--listen"), endpoint, QStringLiteral("--screenshot"),
                 dir.filePath(QStringLiteral("scope.png")), QStringLiteral("--quit-after"),
                 QStringLiteral("6")});
    ASSERT_TRUE(scope.waitForStarted());
    // Items sent before the scope binds wait in the producer.
    QProcess python;
    python.setProcessEnvironment(env);
    python.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import sys, lumenfold\n"
                                 "p = lumenfold.Producer(sys.argv[1], linger_ms=None)\n"
                                 "p.send('PN', ['t', 'volts\\nmeasured', 'say \"hi\"'])\n"
                                 "p.send('PXY', 't,volts\\nmeasured;t,say.\"hi\"')\n"
                                 "for i in range(779):\n"
                                 "    p.send('PD', [i])\n"
                                 "for i in range(10):\n"
                                 "    p.send('PD', [i, i, -i])\n"
                                 "sys.exit(0 if p.close() else 3)\n"),
                  endpoint});
    ASSERT_TRUE(python.waitForFinished(60'000));
    EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    ASSERT_TRUE(scope.waitForFinished(60'000)) << "the scope did not quit";
    const QString err = QString::fromUtf8(scope.readAllStandardError());
    ASSERT_EQ(scope.exitCode(), 0) << err.toStdString();

    const std::vector<Area> areas = plot_lines(QString::fromUtf8(scope.readAllStandardOutput()));
    ASSERT_EQ(areas.size(), 2u);
    EXPECT_EQ(areas[0].x, "t");
    EXPECT_EQ(areas[0].y, "volts\nmeasured");
    EXPECT_EQ(areas[1].y, "say \"hi\"");

    int errors = 0;
    const QRegularExpression more(
        QStringLiteral(R"( \(and (\d+) more like it in the last second\)$)"));
    for (const QString& line : err.split('\n', Qt::SkipEmptyParts)) {
        if (!line.startsWith(QLatin1String("lumenfold-scope: error: PD [")))
            continue;
        EXPECT_TRUE(line.contains(
            QLatin1String("rejected: PointDataset::append(): the record has 1 value(s)")))
            << line.toStdString();
        const QRegularExpressionMatch m = more.match(line);
        errors += 1 + (m.hasMatch() ? m.captured(1).toInt() : 0);
    }
    EXPECT_EQ(errors, 779) << err.toStdString();
    EXPECT_LT(err.count('\n'), 40) << "a line a second at most for one kind of error";
}
