#include "symbol_stamp.h"

#include <qwt_symbol.h>

#include <QPainter>
#include <QPolygonF>

#include <algorithm>
#include <vector>

namespace tellurix::lumenfold::plotting::detail {

void SymbolStamp::prepare(const QwtSymbol& sym, const QPainter& painter) {
    const auto key = static_cast<quint64>(painter.renderHints());
    if (!image_.isNull() && key_ == key)
        return;
    // Rendered exactly like Qwt's own symbol cache, so that a stamp is the same pixels.
    const QRect br = sym.boundingRect();
    image_ = QImage(br.size(), QImage::Format_ARGB32_Premultiplied);
    image_.fill(Qt::transparent);
    QPainter p(&image_);
    p.setRenderHints(painter.renderHints());
    p.translate(-br.topLeft());
    sym.drawSymbol(&p, QPointF(0.0, 0.0));
    p.end();
    offset_ = br.topLeft();
    key_ = key;

    square_ = 0;
    const QPoint centre = -offset_;
    auto opaque = [this](int x, int y) {
        return image_.rect().contains(x, y) &&
               (reinterpret_cast<const quint32*>(image_.constScanLine(y))[x] >> 24) == 255;
    };
    for (int r = 1; r <= std::max(image_.width(), image_.height()); ++r) {
        bool full = true;
        for (int d = -r; d <= r && full; ++d)
            full = opaque(centre.x() + d, centre.y() - r) &&
                   opaque(centre.x() + d, centre.y() + r) &&
                   opaque(centre.x() - r, centre.y() + d) && opaque(centre.x() + r, centre.y() + d);
        if (!full || !opaque(centre.x(), centre.y()))
            break;
        square_ = r;
    }

    colour_ = 0;
    spans_.assign(static_cast<size_t>(image_.height()), {0, 0});
    if (image_.width() > 64)
        return;
    quint32 colour = 0;
    for (int r = 0; r < image_.height(); ++r) {
        const auto* row = reinterpret_cast<const quint32*>(image_.constScanLine(r));
        int a = -1, b = -1;
        for (int c = 0; c < image_.width(); ++c) {
            if (row[c] == 0)
                continue;
            if ((row[c] >> 24) != 255 || (colour != 0 && row[c] != colour) || (a >= 0 && b != c))
                return;
            colour = row[c];
            if (a < 0)
                a = c;
            b = c + 1;
        }
        if (a >= 0)
            spans_[static_cast<size_t>(r)] = {a, b};
    }
    colour_ = colour;
}

void SymbolStamp::stampAll(QPainter* painter, const QwtSymbol& sym, const Plane& marks,
                           const DirectTarget* target) const {
    if (target == nullptr) {
        // Any other device (printer, vector export, a scaled painter): let Qwt draw the symbol
        // at each distinct pixel.
        QPolygonF points;
        points.reserve(512);
        forEachMark(marks, [&](int x, int y) {
            points.append(QPointF(x, y));
            if (points.size() == 512) {
                sym.drawSymbols(painter, points);
                points.clear();
            }
        });
        if (!points.isEmpty())
            sym.drawSymbols(painter, points);
        return;
    }
    if (colour_ == 0) {
        stampBlended(marks, *target);
        return;
    }
    const MarkLayout layout = layoutOf(marks);
    if (!layout.crowded) {
        stampFills(marks, *target);
        return;
    }
    // The stamps' union is the whole picture: gathered as a bit plane over the rows the marks
    // reach, then written row by row, each pixel once.
    thread_local std::vector<std::uint64_t> storage;
    Plane cover;
    const int height = layout.endRow - layout.firstRow + image_.height() - 1;
    cover.reset(QRect(marks.rect.topLeft() + offset_ + QPoint(0, layout.firstRow),
                      QSize((marks.stride + 1) * 64, height)),
                marks.stride + 1, storage);
    stampUnion(marks, layout.firstRow, layout.endRow, spans_, cover);
    paintBits(*target, cover, colour_);
}

void SymbolStamp::stampFills(const Plane& marks, const DirectTarget& target) const {
    // One opaque colour in one run per row: each stamp row is a plain fill.
    struct Run {
        int row, from, to;
    };
    std::vector<Run> runs;
    const int sh = image_.height(), sw = image_.width();
    for (int r = 0; r < sh; ++r) {
        const auto& span = spans_[static_cast<size_t>(r)];
        if (span.first < span.second)
            runs.push_back({r, span.first, span.second});
    }
    const QRect allowed = target.allowed;
    uchar* bits = target.image->bits();
    const qsizetype bpl = target.image->bytesPerLine();
    const QPoint shift = target.offset + offset_;
    const quint32 colour = colour_;
    // Stamps whose whole box lies in the allowed pixels need no cutting.
    const int wholeLeft = allowed.left(), wholeTop = allowed.top();
    const int wholeRight = allowed.right() + 1 - sw, wholeBottom = allowed.bottom() + 1 - sh;
    forEachMark(marks, [&](int x, int y) {
        const int left = x + shift.x(), top = y + shift.y();
        if (left >= wholeLeft && left <= wholeRight && top >= wholeTop && top <= wholeBottom) {
            uchar* base = bits + static_cast<qsizetype>(top) * bpl;
            for (const Run& run : runs) {
                auto* dst = reinterpret_cast<quint32*>(base + run.row * bpl) + left;
                for (int c = run.from; c < run.to; ++c)
                    dst[c] = colour;
            }
            return;
        }
        for (const Run& run : runs) {
            const int dy = top + run.row;
            if (dy < allowed.top() || dy > allowed.bottom())
                continue;
            const int a = std::max(run.from, allowed.left() - left);
            const int b = std::min(run.to, allowed.right() + 1 - left);
            if (a < b)
                std::fill_n(reinterpret_cast<quint32*>(bits + dy * bpl) + left + a, b - a, colour);
        }
    });
}

void SymbolStamp::stampBlended(const Plane& marks, const DirectTarget& target) const {
    // Translucent or many-coloured stamps: blend each one, in the engine's own arithmetic.
    const int sh = image_.height(), sw = image_.width();
    std::vector<std::pair<int, int>> spans(static_cast<size_t>(sh));
    for (int r = 0; r < sh; ++r) {
        const auto* row = reinterpret_cast<const quint32*>(image_.constScanLine(r));
        int a = 0, b = sw;
        while (a < b && row[a] == 0)
            ++a;
        while (b > a && row[b - 1] == 0)
            --b;
        spans[static_cast<size_t>(r)] = {a, b};
    }
    const QRect allowed = target.allowed;
    uchar* bits = target.image->bits();
    const qsizetype bpl = target.image->bytesPerLine();
    const QPoint shift = target.offset + offset_;
    forEachMark(marks, [&](int x, int y) {
        const int left = x + shift.x(), top = y + shift.y();
        for (int r = 0; r < sh; ++r) {
            const int dy = top + r;
            if (dy < allowed.top() || dy > allowed.bottom())
                continue;
            auto [a, b] = spans[static_cast<size_t>(r)];
            a = std::max(a, allowed.left() - left);
            b = std::min(b, allowed.right() + 1 - left);
            if (a >= b)
                continue;
            const auto* src = reinterpret_cast<const quint32*>(image_.constScanLine(r));
            auto* dst = reinterpret_cast<quint32*>(bits + dy * bpl);
            for (int c = a; c < b; ++c)
                if (src[c] != 0)
                    dst[left + c] = sourceOver(dst[left + c], src[c]);
        }
    });
}

} // namespace tellurix::lumenfold::plotting::detail
