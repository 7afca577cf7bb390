// Loops over every point in a second form for processors with AVX2. They live in
// wide_loops_avx2.cpp (points) and wide_planes_avx2.cpp (planes and tiles), the only files
// built for that instruction set; everything else keeps to the base one, and callers take
// these only when wideLoops() says so.
//
// Those files must not call inline functions or templates shared with other files: the linker
// keeps one copy of each, and the AVX2 one could end up running on a processor without it.
// Hence plain structures here and plain numbers in the signatures.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tellurix::lumenfold::plotting::detail {

/// What one pass over a curve's data learns.
struct Summary {
    bool finite = true;                            // every coordinate is finite
    bool up = true;                                // x never decreases (NaN fails)
    bool down = true;                              // x never increases (NaN fails)
    double xmin = 0, xmax = 0, ymin = 0, ymax = 0; // meaningful when finite
};

/// What one pixel column of finite points keeps: its first, lowest, highest and last pixel
/// row (the first point of each extreme in record order).
struct ColumnScan {
    int firstY, lowY, lowAt, highY, highAt, lastY;
    // Rows the AVX2 loop marked in a window of 64 rows instead of in the flags: bit b stands
    // for row window0 + b, relative to the plane's top (nothing when window is 0).
    std::uint64_t window;
    int window0;
};

/// Whether the AVX2 loops are used: decided once, from the processor, the CMake option
/// LUMENFOLD_PORTABLE_LOOPS (off: they are built) and the environment variable
/// LUMENFOLD_PORTABLE (set to anything but 0: they are not used).
bool wideLoops();

/// What the first segment filter knows of the vertex before the next one (segment_filters.cpp).
struct FarState {
    int lastX, lastY;
    bool lastIn, lastNear, have;
};

/// Where the first segment filter with its near test looks (segment_filters.cpp): the symbols'
/// area (right and bottom edges as offsets from the left and top, inclusive) and the near
/// plane.
struct FarTest {
    int areaLeft, areaTop;
    unsigned areaWidth, areaHeight; // width - 1, height - 1
    int shortest, nearLength;
    const std::uint64_t* bits;
    std::uint64_t stride;
    int nearLeft, nearTop;
    unsigned nearWidth, nearHeight;
};

/// A stamp's union over rows of marks (bit_plane.cpp's stampUnion), in plain numbers.
struct StampRows {
    const std::uint64_t* marks; // row 0 of the marks
    std::ptrdiff_t marksStride;
    int words;            // words of a marks row
    int firstRow, endRow; // the marks rows read
    std::uint64_t* out;   // row 0 of the union, for marks row firstRow
    std::ptrdiff_t outStride;
    int outWords;     // words of an out row written: min(words + 1, outStride)
    int outRows;      // out rows that may be written
    const int* shift; // the distinct spans: first column and width
    const int* width;
    int distinct;
    const int* runRow; // the stamp rows: out row offset and distinct span
    const int* runSpan;
    int runs;
    std::uint64_t* scratch; // 4 * (vectors + 1) * (distinct + 1) words, 32-byte aligned,
                            // vectors = (outWords + 3) / 4
};

/// Where the covered tiles' block test looks (covered_tiles.cpp): the counts of open tiles
/// in each rectangle from tile (0, 0), rows of `w`; the plane's origin (logical pixels) and
/// its last pixel (plane-relative); tiles are 64 pixels wide and 1 << rowShift tall.
struct TileCounts {
    const int* sums;
    int w;
    int left, top;
    int right, bottom;
    int margin, rowShift;
};

namespace avx2 {

/// summarise's loop from index 1 on, four points per step, into `s` (whose fields hold the
/// values of point 0). Returns the first index left for the point-by-point loop. n >= 5.
int summarise(const double* xs, const double* ys, int n, Summary& s);

/// The Y loop of a column scan from index k on, eight points per step, with the same
/// arithmetic in the same order as point by point: p1 + (y - s1) * cnv, + 0.5, pulled in to
/// +-kFar, floor. With `marking`, each point's row goes into s.window when it lies within 32
/// rows of s.firstY's (s.window0 is set), else flags[min(row - top, rows)] = 1 (rows off the
/// plane, negative ones as unsigned, go to the spare flag). `nearby`: every value maps within
/// +-kFar / 2, and is not pulled in. Values up to index horizon - 1 (>= end) exist and are
/// read next: they are asked for ahead of time. Returns the first index left.
int scanColumn(bool marking, bool nearby, const double* ys, int k, int end, int horizon, double p1,
               double s1, double cnv, std::uint8_t* flags, int top, int rows, ColumnScan& s);

/// The pass of parametric points that all land in view (parametric_points.cpp) over points
/// [from, from + 4 * groups), four at a time: each point's pixel, (int) (p1 + (v - s1) * cnv +
/// 0.5) on both axes, goes to out[k] (x, y pairs) and k moves on unless it repeats the pixel
/// before it (lastX, lastY); with `bits`, its mark is set in the plane whose bit 0 of row 0
/// stands for pixel (left, top). Writes up to four pixels beyond the last one kept. Returns
/// the new k.
std::size_t collectInside(const double* xs, const double* ys, int from, int groups,
                          const double* mapX, const double* mapY, int* out, std::size_t k,
                          int& lastX, int& lastY, std::uint64_t* bits, std::ptrdiff_t stride,
                          int left, int top);

/// The first segment filter's loop with its near test, over `count` vertices at `xy` (x, y
/// pairs), eight at a time: skips the groups of eight in which no vertex is a break and every
/// segment is covered, and stops before the first group that is not so. Returns the vertices
/// skipped (a multiple of 8); `s` is then as after the last of them.
int skipCovered(const int* xy, int count, const FarTest& t, int breakX, FarState& s);

/// The same filter without the near test, in a run that is open (the vertex before was drawn,
/// so `s.have`): copies to `out` the groups of eight in which no vertex is a break and no
/// segment is covered, and stops before the first group that is not so. Returns the vertices
/// copied (a multiple of 8); `s` is then as after the last of them.
int copyDrawn(const int* xy, int count, const FarTest& t, int breakX, FarState& s, int* out);

/// Writes `colour` at dst[j] for every set bit j of the row of plane words `words` with
/// from <= j <= to (0 <= from <= to).
void paintRow(const std::uint64_t* words, int from, int to, std::uint32_t* dst,
              std::uint32_t colour);

/// CoveredTiles::mayBeOpen for the segments [0, 8 * groups) of `xy` (x, y pairs; point
/// 8 * groups is read as well), eight at a time: the indices of those whose box, with the
/// margin, holds an open tile go to `out`. Returns how many.
int tilesOpen(const int* xy, int groups, const TileCounts& t, int* out);

/// drawUncovered's box of vertices over the `count` (a multiple of 4) points at `xy`: each
/// coordinate of a point that is not a break ((INT_MIN, INT_MIN)) is taken into box = {left,
/// top, right, bottom}, which holds what is known so far.
void vertexBox(const int* xy, std::size_t count, int* box);

/// stampUnion four words at a time: each row of marks is spread once per distinct span, a
/// whole row at once, and ORed into the out rows that take it.
void stampRows(const StampRows& t);

} // namespace avx2

} // namespace tellurix::lumenfold::plotting::detail
