// Built with -mavx2 (see plotting/CMakeLists.txt); read the note in wide_loops.h before
// adding anything here.
#include "wide_loops.h"

#include <immintrin.h>

#include <cstddef>

namespace tellurix::lumenfold::plotting::detail::avx2 {

namespace {

constexpr double kFar = 1.0e9; // as in pixel_map.h, which this file may not include

// Points a scan keeps the rows of before it looks at them again: 2 KB on the stack, in the
// first-level cache while they are read back.
constexpr int kChunk = 512;

// Points from which the summary reads its data as two stretches side by side.
constexpr int kTwoStretches = 1 << 16;

// Index of the first of `count` rows equal to `row` (one of them is).
__attribute__((always_inline)) inline int firstOf(const int* got, int count, int row) {
    const __m256i want = _mm256_set1_epi32(row);
    int j = 0;
    for (; j + 8 <= count; j += 8) {
        const __m256i eq =
            _mm256_cmpeq_epi32(_mm256_load_si256(reinterpret_cast<const __m256i*>(got + j)), want);
        const int bits = _mm256_movemask_ps(_mm256_castsi256_ps(eq));
        if (bits != 0)
            return j + __builtin_ctz(static_cast<unsigned>(bits));
    }
    while (got[j] != row)
        ++j;
    return j;
}

int lanesMin(__m128i v) {
    v = _mm_min_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_min_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(v);
}

int lanesMax(__m128i v) {
    v = _mm_max_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_max_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(v);
}

// Four values mapped as the point-by-point loops map them: p1 + (v - s1) * cnv, + 0.5, in
// that order (the rounding of each step is part of the result).
__attribute__((always_inline)) inline __m256d mapped(const double* v, __m256d p1, __m256d s1,
                                                     __m256d cnv) {
    return _mm256_add_pd(
        _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(v), s1), cnv), p1),
        _mm256_set1_pd(0.5));
}

// Rows of four values: mapped, pulled in to +-kFar unless all lie nearby, floor.
template <bool Pull>
__attribute__((always_inline)) inline __m128i rowsOf(const double* ys, __m256d p1, __m256d s1,
                                                     __m256d cnv) {
    __m256d v = mapped(ys, p1, s1, cnv);
    if constexpr (Pull)
        v = _mm256_min_pd(_mm256_max_pd(v, _mm256_set1_pd(-kFar)), _mm256_set1_pd(kFar));
    // Floor, then truncation of a whole number: what roundPixel's truncate-and-correct gives
    // for every value within +-kFar.
    return _mm256_cvttpd_epi32(_mm256_round_pd(v, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC));
}

template <bool Marking, bool Pull>
int scan(const double* ys, int k, int end, int horizon, double p1v, double s1v, double cnvv,
         std::uint8_t* flags, int top, int rows, ColumnScan& s) {
    const __m256d p1 = _mm256_set1_pd(p1v), s1 = _mm256_set1_pd(s1v);
    const __m256d cnv = _mm256_set1_pd(cnvv);
    // The marks of rows near the column's first point are bits of two 32-bit words per lane
    // in registers (a shift by 32 or more gives 0, so rows outside the window add nothing
    // there). A column's points mostly lie close together: only a stretch whose rows reach
    // outside the window is looked at again, to flag those rows one by one.
    const int window0 = s.firstY - 32; // in pixel rows; within +-(kFar + 32)
    const __m128i windowV = _mm_set1_epi32(window0);
    const __m256i windowV8 = _mm256_set1_epi32(window0);
    const __m256i one = _mm256_set1_epi32(1), upper = _mm256_set1_epi32(32);
    __m256i windowLow = _mm256_setzero_si256(), windowHigh = windowLow;
    // The loop keeps only each lane's lowest and highest row, and the rows themselves: which
    // point came first at an extreme is found afterwards, in a stretch that improved on it,
    // instead of an index carried along for every point.
    alignas(32) int got[kChunk];
    while (end - k >= 8) {
        const int left = (end - k) & ~7;
        const int count = left < kChunk ? left : kChunk;
        __m256i lowV = _mm256_set1_epi32(s.lowY), highV = lowV;
        for (int j = 0; j < count; j += 8) {
            // One stream of reads alone does not keep memory busy: the data are asked for
            // 2 KB ahead (256 values), a cache line per step, on past the column's end into
            // the next columns' (up to the horizon): stopping at each column's end left the
            // first 2 KB of every column to wait (time series 8 x 1M: 6% of the frame). Read
            // once, they are asked for without a place in the outer caches.
            const int ahead = k + j + 256 < horizon ? k + j + 256 : horizon - 1;
            _mm_prefetch(reinterpret_cast<const char*>(ys + ahead), _MM_HINT_NTA);
            const __m256i f = _mm256_inserti128_si256(
                _mm256_castsi128_si256(rowsOf<Pull>(ys + k + j, p1, s1, cnv)),
                rowsOf<Pull>(ys + k + j + 4, p1, s1, cnv), 1);
            _mm256_store_si256(reinterpret_cast<__m256i*>(got + j), f);
            lowV = _mm256_min_epi32(lowV, f);
            highV = _mm256_max_epi32(highV, f);
            if constexpr (Marking) {
                // Both lie within +-(kFar + 32): the difference fits in 32 bits. Rows
                // window0 + 32 on go to the second word.
                const __m256i off = _mm256_sub_epi32(f, windowV8);
                windowLow = _mm256_or_si256(windowLow, _mm256_sllv_epi32(one, off));
                windowHigh = _mm256_or_si256(windowHigh,
                                             _mm256_sllv_epi32(one, _mm256_sub_epi32(off, upper)));
            }
        }
        // Strictly lower (higher) only: on a tie the earlier point keeps the extreme.
        const int low = lanesMin(
            _mm_min_epi32(_mm256_castsi256_si128(lowV), _mm256_extracti128_si256(lowV, 1)));
        const int high = lanesMax(
            _mm_max_epi32(_mm256_castsi256_si128(highV), _mm256_extracti128_si256(highV, 1)));
        if (low < s.lowY) {
            s.lowY = low;
            s.lowAt = k + firstOf(got, count, low);
        }
        if (high > s.highY) {
            s.highY = high;
            s.highAt = k + firstOf(got, count, high);
        }
        if constexpr (Marking) {
            if (low < window0 || high > window0 + 63) {
                // Four rows at a time, the few outside one by one. Rows off the plane,
                // negative ones as unsigned, go to the spare flag.
                const __m128i last = _mm_set1_epi32(63);
                for (int j = 0; j < count; j += 4) {
                    const __m128i off = _mm_sub_epi32(
                        _mm_load_si128(reinterpret_cast<const __m128i*>(got + j)), windowV);
                    const __m128i inside = _mm_cmpeq_epi32(_mm_min_epu32(off, last), off);
                    int out = ~_mm_movemask_ps(_mm_castsi128_ps(inside)) & 15;
                    while (out != 0) {
                        const int lane = __builtin_ctz(static_cast<unsigned>(out));
                        out &= out - 1;
                        const auto r = static_cast<unsigned>(got[j + lane] - top);
                        flags[r < static_cast<unsigned>(rows) ? r : static_cast<unsigned>(rows)] =
                            1;
                    }
                }
            }
        }
        k += count;
    }
    if constexpr (Marking) {
        alignas(32) std::uint32_t low[8], high[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(low), windowLow);
        _mm256_store_si256(reinterpret_cast<__m256i*>(high), windowHigh);
        std::uint64_t bits = 0;
        for (int lane = 0; lane < 8; ++lane)
            bits |= low[lane] | (std::uint64_t{high[lane]} << 32);
        s.window = bits;
        s.window0 = window0 - top;
    }
    return k;
}

} // namespace

int summarise(const double* xs, const double* ys, int n, Summary& s) {
    // For data held in the cache the pass is bound by its instructions, not by memory.
    const __m256d zero = _mm256_setzero_pd();
    const __m256d ones = _mm256_cmp_pd(zero, zero, _CMP_EQ_OQ);
    __m256d fin = ones, up = ones, down = ones;
    __m256d xmn = _mm256_set1_pd(xs[0]), xmx = xmn, ymn = _mm256_set1_pd(ys[0]), ymx = ymn;
    auto step = [&](int i) __attribute__((always_inline)) {
        const __m256d vx = _mm256_loadu_pd(xs + i);
        const __m256d vp = _mm256_loadu_pd(xs + i - 1);
        const __m256d vy = _mm256_loadu_pd(ys + i);
        up = _mm256_and_pd(up, _mm256_cmp_pd(vx, vp, _CMP_GE_OQ));
        down = _mm256_and_pd(down, _mm256_cmp_pd(vx, vp, _CMP_LE_OQ));
        fin = _mm256_and_pd(fin, _mm256_cmp_pd(_mm256_sub_pd(vx, vx), zero, _CMP_EQ_OQ));
        fin = _mm256_and_pd(fin, _mm256_cmp_pd(_mm256_sub_pd(vy, vy), zero, _CMP_EQ_OQ));
        xmn = _mm256_min_pd(xmn, vx);
        xmx = _mm256_max_pd(xmx, vx);
        ymn = _mm256_min_pd(ymn, vy);
        ymx = _mm256_max_pd(ymx, vy);
    };
    int i = 1;
    // Data beyond the cache: two stretches at once, four streams of reads instead of two,
    // keep more of memory busy (8 curves' X and Y, 128 MB: 5.7-6.6 ms against 6.9 here).
    // Each stretch compares its first X with the one before it, so no pair is left out.
    if (n >= kTwoStretches) {
        const int half = (n - 1) / 8 * 4;
        // The four streams are asked for 2 KB ahead as well, without a place in the outer
        // caches (read once; time series 8 x 1M: about 4% of the frame with the scan's).
        auto ask = [&](int at) __attribute__((always_inline)) {
            const int ahead = at + 256 < n ? at + 256 : n - 1;
            _mm_prefetch(reinterpret_cast<const char*>(xs + ahead), _MM_HINT_NTA);
            _mm_prefetch(reinterpret_cast<const char*>(ys + ahead), _MM_HINT_NTA);
        };
        for (; i + 8 <= 1 + half; i += 8) {
            ask(i);
            ask(i + half);
            step(i);
            step(i + half);
            step(i + 4);
            step(i + 4 + half);
        }
        for (; i < 1 + half; i += 4) {
            step(i);
            step(i + half);
        }
        i = 1 + 2 * half;
    }
    for (; i + 4 <= n; i += 4)
        step(i);
    s.finite = s.finite && _mm256_movemask_pd(fin) == 15;
    s.up = _mm256_movemask_pd(up) == 15;
    s.down = _mm256_movemask_pd(down) == 15;
    alignas(32) double lanes[4][4];
    _mm256_store_pd(lanes[0], xmn);
    _mm256_store_pd(lanes[1], xmx);
    _mm256_store_pd(lanes[2], ymn);
    _mm256_store_pd(lanes[3], ymx);
    s.xmin = lanes[0][0];
    s.xmax = lanes[1][0];
    s.ymin = lanes[2][0];
    s.ymax = lanes[3][0];
    for (int k = 1; k < 4; ++k) {
        s.xmin = lanes[0][k] < s.xmin ? lanes[0][k] : s.xmin;
        s.xmax = lanes[1][k] > s.xmax ? lanes[1][k] : s.xmax;
        s.ymin = lanes[2][k] < s.ymin ? lanes[2][k] : s.ymin;
        s.ymax = lanes[3][k] > s.ymax ? lanes[3][k] : s.ymax;
    }
    return i;
}

int scanColumn(bool marking, bool nearby, const double* ys, int k, int end, int horizon, double p1,
               double s1, double cnv, std::uint8_t* flags, int top, int rows, ColumnScan& s) {
    if (nearby)
        return marking ? scan<true, false>(ys, k, end, horizon, p1, s1, cnv, flags, top, rows, s)
                       : scan<false, false>(ys, k, end, horizon, p1, s1, cnv, flags, top, rows, s);
    return marking ? scan<true, true>(ys, k, end, horizon, p1, s1, cnv, flags, top, rows, s)
                   : scan<false, true>(ys, k, end, horizon, p1, s1, cnv, flags, top, rows, s);
}

namespace {

// Each 64-bit lane's two 32-bit halves both all ones, as all ones in the lane.
__attribute__((always_inline)) inline __m256i bothHalves(__m256i v) {
    return _mm256_and_si256(v, _mm256_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
}

// (unsigned) v <= limit, lane by lane.
__attribute__((always_inline)) inline __m256i atMost(__m256i v, __m256i limit) {
    return _mm256_cmpeq_epi32(_mm256_min_epu32(v, limit), v);
}

// Whether each of four vertices lies in the rectangle from `origin` over `limit` (both
// inclusive offsets), as all-ones lanes.
__attribute__((always_inline)) inline __m256i inside(__m256i v, __m256i origin, __m256i limit) {
    return bothHalves(atMost(_mm256_sub_epi32(v, origin), limit));
}

// Segment reaches `r` no longer than `length` (signed), as all-ones lanes.
__attribute__((always_inline)) inline __m256i noLonger(__m256i r, __m256i length) {
    return _mm256_andnot_si256(_mm256_cmpgt_epi32(r, length), _mm256_set1_epi32(-1));
}

// Four vertices (x, y in each 64-bit lane) against the test: whether each lies in the
// symbols' area, and its bit in the near plane (0 outside it), as all-ones lanes.
struct Tested {
    __m256i in, nearSet;
};

__attribute__((always_inline)) inline Tested test(__m256i v, __m256i areaOrigin, __m256i areaLimit,
                                                  __m256i nearOrigin, __m256i nearLimit,
                                                  const FarTest& t) {
    Tested r;
    r.in = inside(v, areaOrigin, areaLimit);
    const __m256i rel = _mm256_sub_epi32(v, nearOrigin);
    const __m256i inPlane = inside(v, nearOrigin, nearLimit);
    const __m256i cx = _mm256_and_si256(rel, _mm256_set1_epi64x(0xffffffff));
    const __m256i cy = _mm256_srli_epi64(rel, 32);
    // Outside the plane the word looked at is the first, and its bit is masked off.
    const __m256i at = _mm256_and_si256(
        inPlane,
        _mm256_add_epi64(_mm256_mul_epu32(cy, _mm256_set1_epi64x(static_cast<long long>(t.stride))),
                         _mm256_srli_epi64(cx, 6)));
    const __m256i word = _mm256_i64gather_epi64(reinterpret_cast<const long long*>(t.bits), at, 8);
    const __m256i bit =
        _mm256_and_si256(_mm256_srlv_epi64(word, _mm256_and_si256(cx, _mm256_set1_epi64x(63))),
                         _mm256_set1_epi64x(1));
    r.nearSet = _mm256_and_si256(inPlane, _mm256_cmpeq_epi64(bit, _mm256_set1_epi64x(1)));
    return r;
}

// Lane k of `v` moved to lane k + 1, and lane 3 of `before` to lane 0.
__attribute__((always_inline)) inline __m256i previous(__m256i v, __m256i before) {
    return _mm256_blend_epi32(_mm256_permute4x64_epi64(v, _MM_SHUFFLE(2, 1, 0, 3)),
                              _mm256_permute4x64_epi64(before, _MM_SHUFFLE(3, 3, 3, 3)), 0x03);
}

// x and y side by side in every 64-bit lane, as in a QPoint.
__attribute__((always_inline)) inline __m256i pairs(std::uint32_t x, std::uint32_t y) {
    return _mm256_set1_epi64x(static_cast<long long>((std::uint64_t{y} << 32) | x));
}

// A segment's reach, the larger of |dx| and |dy|, from the vertex before each to it, in both
// halves of each lane.
__attribute__((always_inline)) inline __m256i reach(__m256i v, __m256i before) {
    const __m256i d = _mm256_abs_epi32(_mm256_sub_epi32(v, before));
    return _mm256_max_epi32(d, _mm256_shuffle_epi32(d, _MM_SHUFFLE(2, 3, 0, 1)));
}

// The group of eight vertices from index `at` as two registers of four; false when one of
// them is a break (its x is breakX), which the caller takes vertex by vertex.
__attribute__((always_inline)) inline bool loadGroup(const int* xy, int at, int breakX, __m256i& a,
                                                     __m256i& b) {
    const int* const group = xy + 2 * static_cast<std::ptrdiff_t>(at);
    a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(group));
    b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(group + 8));
    const __m256i lowHalf = _mm256_set1_epi64x(0xffffffff);
    const __m256i breakV = pairs(static_cast<std::uint32_t>(breakX), 0);
    const __m256i breaks =
        _mm256_or_si256(_mm256_cmpeq_epi64(_mm256_and_si256(a, lowHalf), breakV),
                        _mm256_cmpeq_epi64(_mm256_and_si256(b, lowHalf), breakV));
    return _mm256_testz_si256(breaks, breaks) != 0;
}

// All ones in every lane when `set`.
__attribute__((always_inline)) inline __m256i lanes(bool set) {
    return set ? _mm256_set1_epi32(-1) : _mm256_setzero_si256();
}

// `s` after a group whose last vertex is lane 3 of `last`, with its tests `in` and `nearSet`.
void leave(FarState& s, __m256i last, __m256i in, __m256i nearSet) {
    alignas(32) std::int32_t v[8];
    alignas(32) std::int64_t inLanes[4], nearLanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(v), last);
    _mm256_store_si256(reinterpret_cast<__m256i*>(inLanes), in);
    _mm256_store_si256(reinterpret_cast<__m256i*>(nearLanes), nearSet);
    s.lastX = v[6];
    s.lastY = v[7];
    s.lastIn = inLanes[3] != 0;
    s.lastNear = nearLanes[3] != 0;
    s.have = true;
}

} // namespace

int skipCovered(const int* xy, int count, const FarTest& t, int breakX, FarState& s) {
    const __m256i areaOrigin =
        pairs(static_cast<std::uint32_t>(t.areaLeft), static_cast<std::uint32_t>(t.areaTop));
    const __m256i areaLimit = pairs(t.areaWidth, t.areaHeight);
    const __m256i nearOrigin =
        pairs(static_cast<std::uint32_t>(t.nearLeft), static_cast<std::uint32_t>(t.nearTop));
    // Within the plane: below its width and height, that is at most one less (a plane with
    // no width or height holds nothing: the limit then admits nothing but is never reached,
    // since such a plane is never handed over).
    const __m256i nearLimit = pairs(t.nearWidth - 1, t.nearHeight - 1);
    const __m256i shortest = _mm256_set1_epi32(t.shortest);
    const __m256i nearLength = _mm256_set1_epi32(t.nearLength);
    const __m256i ones = lanes(true);

    __m256i last = pairs(static_cast<std::uint32_t>(s.lastX), static_cast<std::uint32_t>(s.lastY));
    __m256i lastIn = lanes(s.lastIn), lastNear = lanes(s.lastNear);
    // Before a vertex with nothing before it (the first, or the first after a break) nothing
    // is drawn: its lane counts as covered.
    __m256i first = s.have ? _mm256_setzero_si256() : _mm256_set_epi64x(0, 0, 0, -1);
    int done = 0;
    __m256i a, b;
    for (; done + 8 <= count && loadGroup(xy, done, breakX, a, b); done += 8) {
        const Tested ta = test(a, areaOrigin, areaLimit, nearOrigin, nearLimit, t);
        const Tested tb = test(b, areaOrigin, areaLimit, nearOrigin, nearLimit, t);
        const __m256i ra = reach(a, previous(a, last)), rb = reach(b, previous(b, a));
        auto covered = [&](__m256i r, const Tested& now, __m256i inBefore, __m256i nearBefore)
            __attribute__((always_inline)) {
            return _mm256_or_si256(
                _mm256_and_si256(_mm256_and_si256(inBefore, now.in), noLonger(r, shortest)),
                _mm256_and_si256(_mm256_and_si256(nearBefore, now.nearSet),
                                 noLonger(r, nearLength)));
        };
        const __m256i ca = _mm256_or_si256(
            covered(ra, ta, previous(ta.in, lastIn), previous(ta.nearSet, lastNear)), first);
        const __m256i cb =
            covered(rb, tb, previous(tb.in, ta.in), previous(tb.nearSet, ta.nearSet));
        if (!_mm256_testc_si256(_mm256_and_si256(ca, cb), ones))
            break;
        last = b;
        lastIn = tb.in;
        lastNear = tb.nearSet;
        first = _mm256_setzero_si256();
    }
    if (done > 0)
        leave(s, last, lastIn, lastNear);
    return done;
}

int copyDrawn(const int* xy, int count, const FarTest& t, int breakX, FarState& s, int* out) {
    const __m256i areaOrigin =
        pairs(static_cast<std::uint32_t>(t.areaLeft), static_cast<std::uint32_t>(t.areaTop));
    const __m256i areaLimit = pairs(t.areaWidth, t.areaHeight);
    const __m256i shortest = _mm256_set1_epi32(t.shortest);
    __m256i last = pairs(static_cast<std::uint32_t>(s.lastX), static_cast<std::uint32_t>(s.lastY));
    __m256i lastIn = lanes(s.lastIn);
    int done = 0;
    __m256i a, b;
    for (; done + 8 <= count && loadGroup(xy, done, breakX, a, b); done += 8) {
        const __m256i inA = inside(a, areaOrigin, areaLimit);
        const __m256i inB = inside(b, areaOrigin, areaLimit);
        // Covered: both ends in the area and a step no longer than the shortest drawn.
        const __m256i shortA = noLonger(reach(a, previous(a, last)), shortest);
        const __m256i shortB = noLonger(reach(b, previous(b, a)), shortest);
        const __m256i covered =
            _mm256_or_si256(_mm256_and_si256(_mm256_and_si256(previous(inA, lastIn), inA), shortA),
                            _mm256_and_si256(_mm256_and_si256(previous(inB, inA), inB), shortB));
        if (!_mm256_testz_si256(covered, covered))
            break;
        int* const to = out + 2 * static_cast<std::ptrdiff_t>(done);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), a);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 8), b);
        last = b;
        lastIn = inB;
    }
    if (done > 0)
        leave(s, last, lastIn, lanes(s.lastNear));
    return done;
}

namespace {

// For each set of the four lanes that differ from the lane before, the 32-bit lanes that
// bring those 64-bit lanes to the front, in order.
struct Compress {
    alignas(32) std::int32_t index[16][8];
    constexpr Compress()
        : index() {
        for (int mask = 0; mask < 16; ++mask) {
            std::size_t to = 0;
            for (int lane = 0; lane < 4; ++lane) {
                if ((mask & (1 << lane)) == 0)
                    continue;
                index[mask][to] = 2 * lane;
                index[mask][to + 1] = 2 * lane + 1;
                to += 2;
            }
        }
    }
};
constexpr Compress kCompress;

// Pixels of four values not below -0.5 once mapped: truncated. map = {p1, s1, cnv}.
__attribute__((always_inline)) inline __m128i pixelsOf(const double* v, const double* map) {
    return _mm256_cvttpd_epi32(
        mapped(v, _mm256_set1_pd(map[0]), _mm256_set1_pd(map[1]), _mm256_set1_pd(map[2])));
}

} // namespace

std::size_t collectInside(const double* xs, const double* ys, int from, int groups,
                          const double* mapX, const double* mapY, int* out, std::size_t k,
                          int& lastX, int& lastY, std::uint64_t* bits, std::ptrdiff_t stride,
                          int left, int top) {
    __m256i last = pairs(static_cast<std::uint32_t>(lastX), static_cast<std::uint32_t>(lastY));
    alignas(16) std::int32_t px[4], py[4];
    const int end = from + 4 * groups;
    for (int i = from; i < end; i += 4) {
        const __m128i x = pixelsOf(xs + i, mapX), y = pixelsOf(ys + i, mapY);
        // Pixels here are not negative: x and y side by side in each 64-bit lane, as a QPoint.
        const __m256i points = _mm256_or_si256(_mm256_cvtepu32_epi64(x),
                                               _mm256_slli_epi64(_mm256_cvtepu32_epi64(y), 32));
        const __m256i before =
            _mm256_blend_epi32(_mm256_permute4x64_epi64(points, _MM_SHUFFLE(2, 1, 0, 3)),
                               _mm256_permute4x64_epi64(last, _MM_SHUFFLE(3, 3, 3, 3)), 0x03);
        const int differs =
            ~_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(points, before))) & 15;
        const __m256i kept = _mm256_permutevar8x32_epi32(
            points, _mm256_load_si256(reinterpret_cast<const __m256i*>(kCompress.index[differs])));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * k), kept);
        k += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(differs)));
        last = points;
        if (bits != nullptr) {
            _mm_store_si128(reinterpret_cast<__m128i*>(px), x);
            _mm_store_si128(reinterpret_cast<__m128i*>(py), y);
            for (int lane = 0; lane < 4; ++lane) {
                const int cx = px[lane] - left;
                bits[(py[lane] - top) * stride + (cx >> 6)] |= std::uint64_t{1} << (cx & 63);
            }
        }
    }
    alignas(32) std::int32_t tail[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(tail), last);
    lastX = tail[6];
    lastY = tail[7];
    return k;
}

void stampRows(const StampRows& t) {
    const std::ptrdiff_t vectors = (t.outWords + 3) / 4;
    const std::ptrdiff_t padded = 4 * vectors;
    // The marks row, with zeros past its words; then each distinct span's spread row.
    std::uint64_t* const row = t.scratch;
    std::uint64_t* const spread = t.scratch + padded + 4;
    for (std::ptrdiff_t k = t.words; k < padded; ++k)
        row[k] = 0;
    for (int y = t.firstRow; y < t.endRow; ++y) {
        const std::uint64_t* src = t.marks + y * t.marksStride;
        __m256i any = _mm256_setzero_si256();
        for (int k = 0; k < t.words; ++k)
            row[k] = src[k];
        for (std::ptrdiff_t v = 0; v < vectors; ++v)
            any = _mm256_or_si256(any,
                                  _mm256_load_si256(reinterpret_cast<const __m256i*>(row + 4 * v)));
        if (_mm256_testz_si256(any, any) != 0)
            continue;
        for (int d = 0; d < t.distinct; ++d) {
            // Each mark becomes a run of `width` bits from it, moved `shift` on: what lands
            // in each word (lo) and what spills into the next (hi). Shifts by 64 or more
            // give 0.
            const int width = t.width[d];
            const __m128i shift = _mm_cvtsi32_si128(t.shift[d]);
            const __m128i back = _mm_cvtsi32_si128(64 - t.shift[d]);
            std::uint64_t* const out = spread + d * padded;
            __m256i before = _mm256_setzero_si256();
            for (std::ptrdiff_t v = 0; v < vectors; ++v) {
                __m256i lo = _mm256_load_si256(reinterpret_cast<const __m256i*>(row + 4 * v));
                __m256i hi = _mm256_setzero_si256();
                for (int have = 1; have < width;) {
                    const int step = have < width - have ? have : width - have;
                    const __m128i up = _mm_cvtsi32_si128(step);
                    const __m128i down = _mm_cvtsi32_si128(64 - step);
                    hi = _mm256_or_si256(
                        hi, _mm256_or_si256(_mm256_sll_epi64(hi, up), _mm256_srl_epi64(lo, down)));
                    lo = _mm256_or_si256(lo, _mm256_sll_epi64(lo, up));
                    have += step;
                }
                hi = _mm256_or_si256(_mm256_sll_epi64(hi, shift), _mm256_srl_epi64(lo, back));
                lo = _mm256_sll_epi64(lo, shift);
                _mm256_store_si256(reinterpret_cast<__m256i*>(out + 4 * v),
                                   _mm256_or_si256(lo, previous(hi, before)));
                before = hi;
            }
        }
        for (int r = 0; r < t.runs; ++r) {
            const int oy = y - t.firstRow + t.runRow[r];
            if (oy >= t.outRows)
                continue;
            std::uint64_t* dst = t.out + oy * t.outStride;
            const std::uint64_t* add = spread + t.runSpan[r] * padded;
            int k = 0;
            for (; k + 4 <= t.outWords; k += 4) {
                auto* at = reinterpret_cast<__m256i*>(dst + k);
                _mm256_storeu_si256(
                    at,
                    _mm256_or_si256(_mm256_loadu_si256(at),
                                    _mm256_load_si256(reinterpret_cast<const __m256i*>(add + k))));
            }
            for (; k < t.outWords; ++k)
                dst[k] |= add[k];
        }
    }
}

} // namespace tellurix::lumenfold::plotting::detail::avx2
