// The real program, as a user starts it: `lumenfold-scope --demo` on an X server (Xvfb,
// started by xvfb-run), saving a screenshot after a few seconds. Every plot area of the
// picture must hold drawn curves.
#include <QColor>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct Area {
    QRect rect;
    QString x, y;
};

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

    std::vector<Area> areas;
    for (const QString& line : QString::fromUtf8(scope.readAllStandardOutput()).split('\n')) {
        const QStringList f = line.split(' ', Qt::SkipEmptyParts);
        if (f.size() == 8 && f[0] == QLatin1String("plot"))
            areas.push_back(
                {QRect(f[2].toInt(), f[3].toInt(), f[4].toInt(), f[5].toInt()), f[6], f[7]});
    }
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
