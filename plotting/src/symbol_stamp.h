// Symbol stamps: a curve's symbol rendered once into a small image, then put down at every
// marked pixel, written straight into the target image where it allows.
#pragma once

#include "bit_plane.h"
#include "pixel_writer.h"

#include <QImage>
#include <QPoint>

#include <cstdint>

class QPainter;
class QwtSymbol;

namespace tellurix::lumenfold::plotting::detail {

class SymbolStamp {
public:
    /// Renders `symbol` as Qwt's own symbol cache would with the painter's render hints,
    /// unless the stamp already holds it for those hints. The symbol must have a non-empty
    /// bounding rectangle.
    void prepare(const QwtSymbol& symbol, const QPainter& painter);

    /// Puts the stamp at every mark (centre pixels, logical coordinates). Without a target
    /// Qwt draws the symbol at each mark through the painter.
    void stampAll(QPainter* painter, const QwtSymbol& symbol, const Plane& marks,
                  const DirectTarget* target) const;

    /// What the stamp depends on besides the symbol (the render hints); 0 before prepare().
    quint64 key() const { return key_; }
    /// Logical offset of the stamp's top left pixel from the symbol's centre pixel.
    QPoint offset() const { return offset_; }
    QSize size() const { return image_.size(); }
    /// The stamp's one opaque colour when every row is one run of it, else 0: then the
    /// order and number of stamps on a pixel cannot matter.
    quint32 colour() const { return colour_; }
    /// Radius of the largest square around the centre that the stamp paints opaque.
    int square() const { return square_; }
    /// Per stamp row, the run of opaque pixels (meaningful when colour() is not 0).
    const StampSpans& spans() const { return spans_; }

private:
    void stampFills(const Plane& marks, const DirectTarget& target) const;
    void stampBlended(const Plane& marks, const DirectTarget& target) const;

    QImage image_;
    QPoint offset_;
    quint64 key_ = 0;
    int square_ = 0;
    quint32 colour_ = 0;
    StampSpans spans_;
};

/// Calls visit(x, y) with the logical pixel of every set bit of `marks`, row by row.
template <typename Visit> void forEachMark(const Plane& marks, Visit&& visit) {
    const QRect& area = marks.rect;
    for (int row = 0; row < area.height(); ++row) {
        const std::uint64_t* words = marks.row(row);
        for (int wi = 0; wi < marks.stride; ++wi) {
            std::uint64_t bits = words[wi];
            while (bits != 0) {
                const int bit = __builtin_ctzll(bits);
                bits &= bits - 1;
                visit(area.left() + wi * 64 + bit, area.top() + row);
            }
        }
    }
}

} // namespace tellurix::lumenfold::plotting::detail
