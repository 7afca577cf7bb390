// Built with -mavx2 (see plotting/CMakeLists.txt); read the note in wide_loops.h before
// adding anything here.
#include "wide_loops.h"

#include <immintrin.h>

namespace tellurix::lumenfold::plotting::detail::avx2 {

namespace {

constexpr double kFar = 1.0e9; // as in pixel_map.h, which this file may not include

template <bool Marking>
int scan(const double* ys, int k, int end, double p1v, double s1v, double cnvv, std::uint8_t* flags,
         int top, int rows, ColumnScan& s) {
    const __m256d p1 = _mm256_set1_pd(p1v), s1 = _mm256_set1_pd(s1v);
    const __m256d cnv = _mm256_set1_pd(cnvv), half = _mm256_set1_pd(0.5);
    const __m256d nearLow = _mm256_set1_pd(-kFar), nearHigh = _mm256_set1_pd(kFar);
    const __m128i topV = _mm_set1_epi32(top), rowsV = _mm_set1_epi32(rows);
    const __m128i four = _mm_set1_epi32(4);
    __m128i at = _mm_setr_epi32(k, k + 1, k + 2, k + 3);
    __m128i lowV = _mm_set1_epi32(s.lowY), highV = lowV;
    __m128i lowAt = _mm_set1_epi32(s.lowAt), highAt = lowAt;
    alignas(16) int r[4];
    // The marks of rows near the column's first point are bits of four words in a register
    // (a shift by 64 or more gives 0, so rows outside the window add nothing there); only
    // rows outside it are flagged one by one. A column's points mostly lie close together.
    const int window0 = s.firstY - 32; // in pixel rows; within +-(kFar + 32)
    const __m128i windowV = _mm_set1_epi32(window0), last = _mm_set1_epi32(63);
    const __m256i one = _mm256_set1_epi64x(1);
    __m256i window = _mm256_setzero_si256();
    for (; k + 4 <= end; k += 4) {
        __m256d v =
            _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(ys + k), s1), cnv), p1);
        v = _mm256_add_pd(v, half);
        v = _mm256_min_pd(_mm256_max_pd(v, nearLow), nearHigh);
        // Floor, then truncation of a whole number: what roundPixel's truncate-and-correct
        // gives for every value within +-kFar.
        const __m128i f =
            _mm256_cvttpd_epi32(_mm256_round_pd(v, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC));
        if constexpr (Marking) {
            // Both lie within +-(kFar + 32): the difference fits in 32 bits.
            const __m128i off = _mm_sub_epi32(f, windowV);
            window = _mm256_or_si256(window, _mm256_sllv_epi64(one, _mm256_cvtepu32_epi64(off)));
            const __m128i inside = _mm_cmpeq_epi32(_mm_min_epu32(off, last), off);
            const int in = _mm_movemask_ps(_mm_castsi128_ps(inside));
            if (in != 15) {
                _mm_store_si128(reinterpret_cast<__m128i*>(r),
                                _mm_min_epu32(_mm_sub_epi32(f, topV), rowsV));
                for (int lane = 0; lane < 4; ++lane)
                    if (((in >> lane) & 1) == 0)
                        flags[r[lane]] = 1;
            }
        }
        const __m128i below = _mm_cmplt_epi32(f, lowV);
        lowV = _mm_blendv_epi8(lowV, f, below);
        lowAt = _mm_blendv_epi8(lowAt, at, below);
        const __m128i above = _mm_cmpgt_epi32(f, highV);
        highV = _mm_blendv_epi8(highV, f, above);
        highAt = _mm_blendv_epi8(highAt, at, above);
        at = _mm_add_epi32(at, four);
    }
    if constexpr (Marking) {
        alignas(32) std::uint64_t words[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(words), window);
        s.window = words[0] | words[1] | words[2] | words[3];
        s.window0 = window0 - top;
    }
    // The lanes together: the lower (higher) row, or on a tie the earlier point.
    alignas(16) int lv[4], la[4], hv[4], ha[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lv), lowV);
    _mm_store_si128(reinterpret_cast<__m128i*>(la), lowAt);
    _mm_store_si128(reinterpret_cast<__m128i*>(hv), highV);
    _mm_store_si128(reinterpret_cast<__m128i*>(ha), highAt);
    for (int lane = 0; lane < 4; ++lane) {
        if (lv[lane] < s.lowY || (lv[lane] == s.lowY && la[lane] < s.lowAt)) {
            s.lowY = lv[lane];
            s.lowAt = la[lane];
        }
        if (hv[lane] > s.highY || (hv[lane] == s.highY && ha[lane] < s.highAt)) {
            s.highY = hv[lane];
            s.highAt = ha[lane];
        }
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
    int i = 1;
    for (; i + 4 <= n; i += 4) {
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
    }
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

int scanColumn(bool marking, const double* ys, int k, int end, double p1, double s1, double cnv,
               std::uint8_t* flags, int top, int rows, ColumnScan& s) {
    return marking ? scan<true>(ys, k, end, p1, s1, cnv, flags, top, rows, s)
                   : scan<false>(ys, k, end, p1, s1, cnv, flags, top, rows, s);
}

} // namespace tellurix::lumenfold::plotting::detail::avx2
