// ThinLine must put the same pixels as the raster engine's own aliased polyline: random
// polylines of several kinds are drawn both ways and compared pixel by pixel.
#include "thin_line.h"

#include <QImage>
#include <QPainter>
#include <QPolygonF>

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using tellurix::lumenfold::plotting::detail::ThinLine;

// Columns: what sorted data leaves of its points, up to four in each pixel column (first,
// lowest, highest, last) and the next column one pixel on. Upright: every step up or down
// in one pixel column, across the clip's edges and back over itself.
enum class Steps { Short, Medium, Anywhere, Far, Columns, Upright };

struct Family {
    const char* name;
    Steps steps;
    int maxPoints;  // points per polyline: 2 .. maxPoints
    bool flat;      // flat pen caps
    QPoint origin;  // painter translation
    int allowedPer; // one differing pixel allowed per this many polylines (0: none)
};

void PrintTo(const Family& f, std::ostream* os) {
    *os << f.name;
}

constexpr int kW = 300, kH = 200;

std::vector<QPoint> randomPolyline(std::mt19937& rng, const Family& f) {
    auto anywhere = [&](int spread) {
        return QPoint(static_cast<int>(rng() % (spread * kW)) - (spread - 1) / 2 * kW,
                      static_cast<int>(rng() % (spread * kH)) - (spread - 1) / 2 * kH);
    };
    const int n = 2 + static_cast<int>(rng() % static_cast<unsigned>(f.maxPoints - 1));
    std::vector<QPoint> points{f.steps == Steps::Far ? anywhere(3) : anywhere(1)};
    while (static_cast<int>(points.size()) < n) {
        const QPoint at = points.back();
        QPoint next;
        switch (f.steps) {
        case Steps::Short:
            next = at + QPoint(static_cast<int>(rng() % 7) - 3, static_cast<int>(rng() % 7) - 3);
            break;
        case Steps::Medium:
            next =
                at + QPoint(static_cast<int>(rng() % 41) - 20, static_cast<int>(rng() % 41) - 20);
            break;
        case Steps::Anywhere:
            next = anywhere(1);
            break;
        case Steps::Far:
            next = anywhere(3);
            break;
        case Steps::Upright:
            next = QPoint(at.x(), at.y() + static_cast<int>(rng() % 81) - 40);
            break;
        case Steps::Columns:
            next = QPoint(at.x() + (points.size() % 4 == 0 ? 1 : 0),
                          at.y() + static_cast<int>(rng() % 31) - 15);
            break;
        }
        if (next != at)
            points.push_back(next);
    }
    return points;
}

class ThinLineFamily : public ::testing::TestWithParam<Family> {};

TEST_P(ThinLineFamily, PutsTheRasterEnginesPixels) {
    const Family& f = GetParam();
    std::mt19937 rng(4242);
    long drawn = 0, differing = 0;
    int cases = 0;
    while (cases < 1000) {
        const std::vector<QPoint> points = randomPolyline(rng, f);
        if (points.front() == points.back())
            continue; // closed figures are the engine's alone (tested below)
        ++cases;
        const QRect clip(10 + static_cast<int>(rng() % 20), 10 + static_cast<int>(rng() % 20),
                         200 + static_cast<int>(rng() % 60), 120 + static_cast<int>(rng() % 50));
        const QColor colour(0, 114, 178);

        QImage engine(kW, kH, QImage::Format_ARGB32_Premultiplied);
        engine.fill(Qt::white);
        {
            QPainter p(&engine);
            p.translate(f.origin);
            p.setClipRect(clip.translated(-f.origin));
            QPen pen(colour, 1);
            pen.setCapStyle(f.flat ? Qt::FlatCap : Qt::SquareCap);
            p.setPen(pen);
            ASSERT_TRUE(ThinLine::suits(pen, p));
            QPolygonF poly;
            for (const QPoint& q : points)
                poly << QPointF(q);
            p.drawPolyline(poly);
        }
        QImage ours(kW, kH, QImage::Format_ARGB32_Premultiplied);
        ours.fill(Qt::white);
        ThinLine line(reinterpret_cast<std::uint32_t*>(ours.bits()), ours.bytesPerLine() / 4,
                      ours.rect(), clip, f.origin, colour.rgba(), !f.flat);
        ASSERT_TRUE(line.polyline(points.data(), static_cast<int>(points.size())));

        for (int y = 0; y < kH; ++y) {
            const auto* e = reinterpret_cast<const quint32*>(engine.constScanLine(y));
            const auto* o = reinterpret_cast<const quint32*>(ours.constScanLine(y));
            for (int x = 0; x < kW; ++x) {
                drawn += e[x] != 0xffffffffu ? 1 : 0;
                differing += e[x] != o[x] ? 1 : 0;
            }
        }
    }
    ASSERT_GT(drawn, 5000) << "the polylines must reach the image";
    RecordProperty("differing", static_cast<int>(differing));
    if (f.allowedPer == 0)
        EXPECT_EQ(differing, 0) << "of " << drawn << " pixels";
    else
        EXPECT_LE(differing, cases / f.allowedPer) << "of " << drawn << " pixels";
}

// Single segments are exact. Along polylines a few pixels come out apart, nearly all at the
// last point of a polyline whose last step is one pixel back against the walk (about one
// polyline in twenty of the short-step kind): a curve's runs are long, and a symbol is drawn
// over that point.
INSTANTIATE_TEST_SUITE_P(
    Polylines, ThinLineFamily,
    ::testing::Values(Family{"segments_medium", Steps::Medium, 2, false, {0, 0}, 0},
                      Family{"segments_anywhere", Steps::Anywhere, 2, false, {0, 0}, 0},
                      Family{"segments_far_cut", Steps::Far, 2, false, {0, 0}, 0},
                      Family{"segments_flat_caps", Steps::Anywhere, 2, true, {0, 0}, 0},
                      Family{"segments_translated", Steps::Medium, 2, false, {7, -5}, 0},
                      Family{"segments_upright", Steps::Upright, 2, false, {0, 0}, 0},
                      Family{"segments_upright_flat", Steps::Upright, 2, true, {2, -3}, 0},
                      Family{"polylines_short", Steps::Short, 40, false, {0, 0}, 10},
                      Family{"polylines_medium", Steps::Medium, 40, false, {0, 0}, 10},
                      Family{"polylines_anywhere", Steps::Anywhere, 40, false, {0, 0}, 10},
                      Family{"polylines_far_cut", Steps::Far, 40, false, {3, 4}, 10},
                      Family{"polylines_flat_caps", Steps::Medium, 40, true, {0, 0}, 10},
                      Family{"polylines_columns", Steps::Columns, 80, false, {0, 0}, 10},
                      Family{"polylines_columns_flat", Steps::Columns, 80, true, {-4, 9}, 10},
                      Family{"polylines_upright", Steps::Upright, 40, false, {0, 0}, 10},
                      Family{"polylines_upright_flat", Steps::Upright, 40, true, {5, 1}, 10}),
    [](const ::testing::TestParamInfo<Family>& info) { return std::string(info.param.name); });

TEST(ThinLine, LeavesClosedFiguresAndUnfitPensToTheEngine) {
    QImage image(40, 30, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    const QImage before = image;
    ThinLine line(reinterpret_cast<std::uint32_t*>(image.bits()), image.bytesPerLine() / 4,
                  image.rect(), image.rect(), QPoint(0, 0), 0xff000000u, true);
    const std::vector<QPoint> closed{{2, 2}, {20, 5}, {10, 20}, {2, 2}};
    EXPECT_FALSE(line.polyline(closed.data(), static_cast<int>(closed.size())));
    EXPECT_EQ(image, before) << "nothing drawn for a closed figure";

    QPainter p(&image);
    EXPECT_TRUE(ThinLine::suits(QPen(Qt::black, 0), p));
    EXPECT_FALSE(ThinLine::suits(QPen(Qt::black, 2), p));
    EXPECT_FALSE(ThinLine::suits(QPen(QColor(0, 0, 0, 128), 1), p));
    EXPECT_FALSE(ThinLine::suits(QPen(Qt::black, 1, Qt::DashLine), p));
    p.setRenderHint(QPainter::Antialiasing);
    EXPECT_FALSE(ThinLine::suits(QPen(Qt::black, 1), p));
}

} // namespace

namespace {

TEST(ThinLine, SetsTheSameCutPixelsAsBitsAsInTheImage) {
    std::mt19937 rng(99);
    const Family f{"bits", Steps::Medium, 40, false, {5, 3}, 0};
    const Family columns{"bits_columns", Steps::Columns, 80, false, {5, 3}, 0};
    const QRect clip(12, 9, 230, 150);
    const QRect planeRect(4, 2, 200, 120); // device pixels the plane spans, cutting the clip
    for (int c = 0; c < 600; ++c) {
        const std::vector<QPoint> points = randomPolyline(rng, c % 2 == 0 ? f : columns);
        if (points.front() == points.back())
            continue;
        QImage image(kW, kH, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::white);
        ThinLine direct(reinterpret_cast<std::uint32_t*>(image.bits()), image.bytesPerLine() / 4,
                        image.rect(), clip, f.origin, 0xff000000u, true);
        direct.polyline(points.data(), static_cast<int>(points.size()));

        const int stride = (planeRect.width() + 63) / 64;
        std::vector<std::uint64_t> bits(static_cast<size_t>(stride * planeRect.height()), 0);
        ThinLine plane(reinterpret_cast<std::uint32_t*>(image.bits()), image.bytesPerLine() / 4,
                       image.rect(), clip, f.origin, 0xff000000u, true);
        plane.intoBits(bits.data(), stride, planeRect);
        plane.polyline(points.data(), static_cast<int>(points.size()));

        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                const bool drawn = image.pixel(x, y) == 0xff000000u;
                bool set = false;
                if (planeRect.contains(x, y)) {
                    const int cx = x - planeRect.left(), cy = y - planeRect.top();
                    set = (bits[static_cast<size_t>(cy * stride + (cx >> 6))] >> (cx & 63)) & 1u;
                }
                ASSERT_EQ(set, drawn && planeRect.contains(x, y)) << "pixel " << x << "," << y;
            }
    }
}

} // namespace

namespace {

// A limit lets a caller that knows some pixels are set already skip them: inside the limit
// every pixel is the one drawn without it, outside only pixels drawn without it may be.
class ThinLineLimit : public ::testing::TestWithParam<Family> {};

TEST_P(ThinLineLimit, WritesEveryPixelInsideTheLimitAndNoOtherOnes) {
    const Family& f = GetParam();
    std::mt19937 rng(515);
    const QRect clip(8, 6, 270, 180);
    long inside = 0, skipped = 0;
    for (int c = 0; c < 400; ++c) {
        const std::vector<QPoint> points = randomPolyline(rng, f);
        if (points.front() == points.back())
            continue;
        // Limits of every kind: off the image, cutting it, a single pixel, empty.
        const int lx = static_cast<int>(rng() % (kW + 40)) - 20 - f.origin.x();
        const int ly = static_cast<int>(rng() % (kH + 40)) - 20 - f.origin.y();
        const QRect limit(lx, ly, static_cast<int>(rng() % 140), static_cast<int>(rng() % 90));
        auto draw = [&](bool limited) {
            QImage image(kW, kH, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::white);
            ThinLine line(reinterpret_cast<std::uint32_t*>(image.bits()), image.bytesPerLine() / 4,
                          image.rect(), clip, f.origin, 0xff000000u, !f.flat);
            if (limited)
                line.limitTo(limit);
            line.polyline(points.data(), static_cast<int>(points.size()));
            return image;
        };
        const QImage whole = draw(false), part = draw(true);
        const QRect device = limit.translated(f.origin);
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                const bool full = whole.pixel(x, y) == 0xff000000u;
                const bool limited = part.pixel(x, y) == 0xff000000u;
                if (device.contains(x, y)) {
                    ASSERT_EQ(limited, full) << "pixel " << x << "," << y << " inside the limit";
                    inside += full ? 1 : 0;
                } else {
                    ASSERT_TRUE(full || !limited) << "pixel " << x << "," << y << " outside";
                    skipped += full && !limited ? 1 : 0;
                }
            }
    }
    EXPECT_GT(inside, 100) << "the limits must meet the lines";
    EXPECT_GT(skipped, 100) << "and leave some of them out";
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ThinLineLimit,
    ::testing::Values(Family{"segments", Steps::Anywhere, 2, false, {0, 0}, 0},
                      Family{"segments_far_cut", Steps::Far, 2, false, {3, -2}, 0},
                      Family{"segments_flat_caps", Steps::Medium, 2, true, {0, 0}, 0},
                      Family{"segments_upright", Steps::Upright, 2, false, {-4, 6}, 0},
                      Family{"polylines_short", Steps::Short, 40, false, {0, 0}, 0},
                      Family{"polylines_columns", Steps::Columns, 80, true, {2, 2}, 0}),
    [](const ::testing::TestParamInfo<Family>& info) { return std::string(info.param.name); });

} // namespace
