// Built with -mavx2 (see plotting/CMakeLists.txt); read the note in wide_loops.h before
// adding anything here. The plane stages' loops: pixels written from a plane, and the covered
// tiles' test of a block of segments.
#include "wide_loops.h"

#include <immintrin.h>

#include <climits>
#include <cstddef>

namespace tellurix::lumenfold::plotting::detail::avx2 {

void paintRow(const std::uint64_t* words, int from, int to, std::uint32_t* dst,
              std::uint32_t colour) {
    // Each run of set bits is written eight pixels to a store, the last store of a run
    // overlapping the one before it; runs shorter than eight take two overlapping stores of
    // four, or single pixels.
    const __m256i eight = _mm256_set1_epi32(static_cast<int>(colour));
    const __m128i four = _mm256_castsi256_si128(eight);
    for (int k = from >> 6; k <= to >> 6; ++k) {
        std::uint64_t v = words[k];
        if (v == 0)
            continue;
        const int lo = k * 64;
        if (lo < from)
            v &= ~std::uint64_t{0} << (from - lo);
        if (lo + 63 > to)
            v &= ~std::uint64_t{0} >> (lo + 63 - to);
        while (v != 0) {
            const int a = __builtin_ctzll(v);
            const std::uint64_t rest = ~(v >> a);
            const int len = rest == 0 ? 64 - a : __builtin_ctzll(rest);
            std::uint32_t* d = dst + lo + a;
            if (len >= 8) {
                for (int i = 0; i + 8 < len; i += 8)
                    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i), eight);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + len - 8), eight);
            } else if (len >= 4) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(d), four);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(d + len - 4), four);
            } else {
                d[0] = colour;
                d[len - 1] = colour;
                d[len / 2] = colour;
            }
            v = a + len >= 64 ? 0 : v & (~std::uint64_t{0} << (a + len));
        }
    }
}

int tilesOpen(const int* xy, int groups, const TileCounts& t, int* out) {
    // Coordinates are brought within +-2^29 first: the box's arithmetic cannot overflow then,
    // and a box reaching that far is cut to the plane's edge all the same.
    const __m256i far = _mm256_set1_epi32(1 << 29), nearFar = _mm256_set1_epi32(-(1 << 29));
    auto load = [&](const int* at) {
        return _mm256_max_epi32(
            _mm256_min_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)), far),
            nearFar);
    };
    auto pair = [](int x, int y) {
        return _mm256_set1_epi64x(static_cast<long long>(
            (std::uint64_t{static_cast<std::uint32_t>(y)} << 32) | static_cast<std::uint32_t>(x)));
    };
    const __m256i loOrigin = pair(t.left + t.margin, t.top + t.margin);
    const __m256i hiOrigin = pair(t.left - t.margin, t.top - t.margin);
    const __m256i last = pair(t.right, t.bottom);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i shift = pair(6, t.rowShift);
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i scale = pair(1, t.w);
    int found = 0;
    for (int g = 0; g < groups; ++g) {
        const int* at = xy + 16 * static_cast<std::ptrdiff_t>(g);
        // Segments 0-3 and 4-7 of the group, x and y side by side as the points hold them.
        const __m256i a1 = load(at), b1 = load(at + 2), a2 = load(at + 8), b2 = load(at + 10);
        const __m256i lo1 = _mm256_sub_epi32(_mm256_min_epi32(a1, b1), loOrigin);
        const __m256i lo2 = _mm256_sub_epi32(_mm256_min_epi32(a2, b2), loOrigin);
        const __m256i hi1 = _mm256_sub_epi32(_mm256_max_epi32(a1, b1), hiOrigin);
        const __m256i hi2 = _mm256_sub_epi32(_mm256_max_epi32(a2, b2), hiOrigin);
        {
            // The box of all eight first: where a line lies among full tiles (most of a
            // dense one) the group is done with one look instead of eight.
            __m256i lo = _mm256_min_epi32(lo1, lo2), hi = _mm256_max_epi32(hi1, hi2);
            lo = _mm256_min_epi32(lo, _mm256_permute4x64_epi64(lo, _MM_SHUFFLE(1, 0, 3, 2)));
            hi = _mm256_max_epi32(hi, _mm256_permute4x64_epi64(hi, _MM_SHUFFLE(1, 0, 3, 2)));
            lo = _mm256_min_epi32(lo, _mm256_shuffle_epi32(lo, _MM_SHUFFLE(1, 0, 3, 2)));
            hi = _mm256_max_epi32(hi, _mm256_shuffle_epi32(hi, _MM_SHUFFLE(1, 0, 3, 2)));
            const __m128i l = _mm256_castsi256_si128(lo), h = _mm256_castsi256_si128(hi);
            const int x0 = _mm_cvtsi128_si32(l), y0 = _mm_extract_epi32(l, 1);
            const int x1 = _mm_cvtsi128_si32(h), y1 = _mm_extract_epi32(h, 1);
            if (x0 > t.right || y0 > t.bottom || x1 < 0 || y1 < 0)
                continue; // off the plane
            const int c0 = (x0 < 0 ? 0 : x0) >> 6, c1 = ((x1 > t.right ? t.right : x1) >> 6) + 1;
            const int r0 = ((y0 < 0 ? 0 : y0) >> t.rowShift) * t.w;
            const int r1 = (((y1 > t.bottom ? t.bottom : y1) >> t.rowShift) + 1) * t.w;
            if (t.sums[r1 + c1] - t.sums[r0 + c1] - t.sums[r1 + c0] + t.sums[r0 + c0] == 0)
                continue;
        }
        // On the plane in x and in y: -1 in both halves of a lane, summed to -2 below.
        const __m256i on1 = _mm256_andnot_si256(
            _mm256_or_si256(_mm256_cmpgt_epi32(lo1, last), _mm256_cmpgt_epi32(zero, hi1)),
            _mm256_set1_epi32(-1));
        const __m256i on2 = _mm256_andnot_si256(
            _mm256_or_si256(_mm256_cmpgt_epi32(lo2, last), _mm256_cmpgt_epi32(zero, hi2)),
            _mm256_set1_epi32(-1));
        // Tile columns and rows, the far ends one past the box; then index = column + row * w.
        auto tiles = [&](__m256i v, bool far) {
            v = _mm256_srlv_epi32(_mm256_min_epi32(_mm256_max_epi32(v, zero), last), shift);
            return _mm256_mullo_epi32(far ? _mm256_add_epi32(v, one) : v, scale);
        };
        const __m256i l1 = tiles(lo1, false), l2 = tiles(lo2, false);
        const __m256i h1 = tiles(hi1, true), h2 = tiles(hi2, true);
        // Sums of the two halves of each lane give the segments in the order 0 1 4 5 2 3 6 7.
        const __m256i i00 = _mm256_hadd_epi32(l1, l2), i11 = _mm256_hadd_epi32(h1, h2);
        const __m256i i01 =
            _mm256_hadd_epi32(_mm256_blend_epi32(l1, h1, 0x55), _mm256_blend_epi32(l2, h2, 0x55));
        const __m256i i10 =
            _mm256_hadd_epi32(_mm256_blend_epi32(h1, l1, 0x55), _mm256_blend_epi32(h2, l2, 0x55));
        const __m256i inBox =
            _mm256_add_epi32(_mm256_sub_epi32(_mm256_i32gather_epi32(t.sums, i11, 4),
                                              _mm256_i32gather_epi32(t.sums, i01, 4)),
                             _mm256_sub_epi32(_mm256_i32gather_epi32(t.sums, i00, 4),
                                              _mm256_i32gather_epi32(t.sums, i10, 4)));
        const __m256i on = _mm256_cmpeq_epi32(_mm256_hadd_epi32(on1, on2), _mm256_set1_epi32(-2));
        const __m256i open = _mm256_andnot_si256(_mm256_cmpeq_epi32(inBox, zero), on);
        // Back to the segments' order.
        unsigned bits = static_cast<unsigned>(_mm256_movemask_ps(
            _mm256_castsi256_ps(_mm256_permute4x64_epi64(open, _MM_SHUFFLE(3, 1, 2, 0)))));
        while (bits != 0) {
            out[found++] = 8 * g + __builtin_ctz(bits);
            bits &= bits - 1;
        }
    }
    return found;
}

void vertexBox(const int* xy, std::size_t count, int* box) {
    const __m256i least = _mm256_set1_epi32(INT_MIN), greatest = _mm256_set1_epi32(INT_MAX);
    __m256i lo = greatest, hi = least;
    for (std::size_t k = 0; k < count; k += 4) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(xy + 2 * k));
        lo = _mm256_min_epi32(lo, _mm256_blendv_epi8(v, greatest, _mm256_cmpeq_epi32(v, least)));
        hi = _mm256_max_epi32(hi, v);
    }
    alignas(32) int l[8], h[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(l), lo);
    _mm256_store_si256(reinterpret_cast<__m256i*>(h), hi);
    for (int lane = 0; lane < 8; lane += 2) {
        box[0] = l[lane] < box[0] ? l[lane] : box[0];
        box[1] = l[lane + 1] < box[1] ? l[lane + 1] : box[1];
        box[2] = h[lane] > box[2] ? h[lane] : box[2];
        box[3] = h[lane + 1] > box[3] ? h[lane + 1] : box[3];
    }
}

} // namespace tellurix::lumenfold::plotting::detail::avx2
