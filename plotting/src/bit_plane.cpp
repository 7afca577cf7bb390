#include "bit_plane.h"

#include "wide_loops.h"

#include <algorithm>
#include <cstdlib>

namespace tellurix::lumenfold::plotting::detail {

namespace {

// out = in moved by s bit positions towards higher x (s > 0) or lower x (s < 0).
void shiftRow(const std::uint64_t* in, std::uint64_t* out, int n, int s) {
    const int ws = std::abs(s) >> 6, bs = std::abs(s) & 63;
    for (int k = 0; k < n; ++k) {
        std::uint64_t v = 0;
        if (s >= 0) {
            const int a = k - ws;
            if (a >= 0)
                v = in[a] << bs;
            if (bs != 0 && a - 1 >= 0)
                v |= in[a - 1] >> (64 - bs);
        } else {
            const int a = k + ws;
            if (a < n)
                v = in[a] >> bs;
            if (bs != 0 && a + 1 < n)
                v |= in[a + 1] << (64 - bs);
        }
        out[k] = v;
    }
}

// A word of marks spread over `width` bit positions (each mark becomes a run of `width`
// bits starting at it) and moved `shift` bits on, as two words: what lands in this word and
// what spills into the next. width + shift must not exceed 64.
std::pair<std::uint64_t, std::uint64_t> spreadWord(std::uint64_t w, int width, int shift) {
    std::uint64_t lo = w, hi = 0;
    for (int have = 1; have < width;) {
        const int step = std::min(have, width - have);
        hi |= (hi << step) | (lo >> (64 - step));
        lo |= lo << step;
        have += step;
    }
    if (shift > 0) {
        hi = (hi << shift) | (lo >> (64 - shift));
        lo <<= shift;
    }
    return {lo, hi};
}

bool clear(const std::uint64_t* row, int n) {
    return std::all_of(row, row + n, [](std::uint64_t w) { return w == 0; });
}

} // namespace

void Plane::reset(const QRect& r, int rowWords, std::vector<std::uint64_t>& storage) {
    rect = r;
    stride = rowWords;
    bits = &storage;
    bits->assign(static_cast<size_t>(stride) * static_cast<size_t>(std::max(0, r.height())), 0);
}

void stampUnion(const Plane& marks, int firstRow, int endRow, const StampSpans& spans, Plane& out) {
    // The stamp's rows share few distinct spans: each word of marks is spread once per
    // distinct span, a word at a time, and the result ORed into every row using it. Each
    // output row is then written in the order the image lies in memory.
    std::vector<std::pair<int, int>> distinct; // (first column, width)
    std::vector<std::pair<int, int>> runs;     // (stamp row, index into distinct)
    for (int r = 0; r < static_cast<int>(spans.size()); ++r) {
        const auto& span = spans[static_cast<size_t>(r)];
        if (span.first >= span.second)
            continue;
        const std::pair<int, int> d{span.first, span.second - span.first};
        auto it = std::find(distinct.begin(), distinct.end(), d);
        if (it == distinct.end())
            it = distinct.insert(distinct.end(), d);
        runs.push_back({r, static_cast<int>(it - distinct.begin())});
    }
    const int outRows = out.rect.height();
    if (wideLoops() && !distinct.empty()) {
        // In plain numbers for the wide loop; its scratch rows 32-byte aligned.
        thread_local std::vector<int> numbers;
        thread_local std::vector<std::uint64_t> scratch;
        numbers.clear();
        for (const auto& [first, width] : distinct)
            numbers.push_back(first);
        for (const auto& [first, width] : distinct)
            numbers.push_back(width);
        for (const auto& [r, d] : runs)
            numbers.push_back(r);
        for (const auto& [r, d] : runs)
            numbers.push_back(d);
        StampRows t{};
        t.marks = marks.row(0);
        t.marksStride = marks.stride;
        t.words = marks.stride;
        t.firstRow = firstRow;
        t.endRow = endRow;
        t.out = out.row(0);
        t.outStride = out.stride;
        t.outWords = std::min(marks.stride + 1, out.stride);
        t.outRows = outRows;
        t.distinct = static_cast<int>(distinct.size());
        t.runs = static_cast<int>(runs.size());
        t.shift = numbers.data();
        t.width = t.shift + t.distinct;
        t.runRow = t.width + t.distinct;
        t.runSpan = t.runRow + t.runs;
        const int vectors = (t.outWords + 3) / 4;
        scratch.resize(static_cast<size_t>(4 * (vectors + 1) * (t.distinct + 1)) + 4);
        auto address = reinterpret_cast<std::uintptr_t>(scratch.data());
        t.scratch = scratch.data() + ((32 - address % 32) % 32) / 8;
        avx2::stampRows(t);
        return;
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spread(distinct.size());
    for (int y = firstRow; y < endRow; ++y) {
        const std::uint64_t* src = marks.row(y);
        for (int k = 0; k < marks.stride; ++k) {
            const std::uint64_t w = src[k];
            if (w == 0)
                continue;
            for (size_t d = 0; d < distinct.size(); ++d)
                spread[d] = spreadWord(w, distinct[d].second, distinct[d].first);
            for (const auto& [r, d] : runs) {
                const int oy = y - firstRow + r;
                if (oy >= outRows)
                    continue;
                std::uint64_t* dst = out.row(oy) + k;
                dst[0] |= spread[static_cast<size_t>(d)].first;
                if (k + 1 < out.stride)
                    dst[1] |= spread[static_cast<size_t>(d)].second;
            }
        }
    }
}

void clearOutside(Plane& plane, const QRect& keep) {
    const QRect inside = keep & plane.rect;
    const int n = plane.stride, height = plane.rect.height();
    if (inside.isEmpty()) {
        std::fill(plane.row(0), plane.row(0) + static_cast<size_t>(n) * height, 0);
        return;
    }
    // Rows above and below are cleared whole; a row in between keeps the words of its kept
    // columns as they are and only has the words at either end masked.
    const int top = inside.top() - plane.rect.top(), bottom = inside.bottom() - plane.rect.top();
    const int from = inside.left() - plane.rect.left(), to = inside.right() - plane.rect.left();
    const int first = from >> 6, last = to >> 6;
    const std::uint64_t firstMask = ~std::uint64_t{0} << (from & 63);
    const std::uint64_t lastMask = ~std::uint64_t{0} >> (63 - (to & 63));
    std::fill(plane.row(0), plane.row(top), 0);
    for (int y = top; y <= bottom; ++y) {
        std::uint64_t* row = plane.row(y);
        std::fill(row, row + first, 0);
        row[first] &= firstMask;
        row[last] &= lastMask;
        std::fill(row + last + 1, row + n, 0);
    }
    std::fill(plane.row(bottom + 1), plane.row(0) + static_cast<size_t>(n) * height, 0);
}

void erode(const Plane& cover, int radius, Plane& deep) {
    // Erosion by a square, in two passes: along each row, then across rows.
    const int h = cover.rect.height(), n = cover.stride;
    thread_local std::vector<std::uint64_t> across, tmp;
    across.assign(static_cast<size_t>(n) * static_cast<size_t>(h), 0);
    tmp.assign(static_cast<size_t>(n), 0);
    for (int y = 0; y < h; ++y) {
        const std::uint64_t* src = cover.row(y);
        std::uint64_t* dst = across.data() + static_cast<size_t>(y) * n;
        std::copy(src, src + n, dst);
        if (clear(src, n))
            continue;
        for (int s = 1; s <= radius; ++s) {
            shiftRow(src, tmp.data(), n, s);
            for (int k = 0; k < n; ++k)
                dst[k] &= tmp[static_cast<size_t>(k)];
            shiftRow(src, tmp.data(), n, -s);
            for (int k = 0; k < n; ++k)
                dst[k] &= tmp[static_cast<size_t>(k)];
        }
    }
    for (int y = 0; y < h; ++y) {
        std::uint64_t* dst = deep.row(y);
        const std::uint64_t* own = across.data() + static_cast<size_t>(y) * n;
        if (y < radius || y + radius >= h || clear(own, n)) {
            std::fill(dst, dst + n, 0);
            continue;
        }
        std::copy(own, own + n, dst);
        for (int d = -radius; d <= radius; ++d) {
            const std::uint64_t* other = across.data() + static_cast<size_t>(y + d) * n;
            for (int k = 0; k < n; ++k)
                dst[k] &= other[k];
        }
    }
}

MarkLayout layoutOf(const Plane& marks) {
    // A curve's marks mostly fill a band of the plane: the clear rows above and below it
    // are passed over a row at a time, and only the band is counted word by word.
    MarkLayout m;
    const int height = marks.rect.height(), n = marks.stride;
    int first = 0, end = height;
    while (first < end && clear(marks.row(first), n))
        ++first;
    while (end > first && clear(marks.row(end - 1), n))
        --end;
    if (first == end) {
        m.firstRow = height; // no row holds a mark
        return m;
    }
    m.firstRow = first;
    m.endRow = end;
    std::int64_t count = 0, held = 0;
    for (int y = first; y < end; ++y) {
        const std::uint64_t* row = marks.row(y);
        for (int k = 0; k < n; ++k) {
            if (row[k] == 0)
                continue;
            ++held;
            count += bitCount(row[k]);
        }
    }
    m.crowded = count >= 4 * held;
    return m;
}

} // namespace tellurix::lumenfold::plotting::detail
