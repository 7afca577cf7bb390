#include "wide_loops.h"

#include <cstdlib>
#include <cstring>

namespace tellurix::lumenfold::plotting::detail {

bool wideLoops() {
    // The processor does not change while the program runs, and the switch is read once:
    // every drawing of the process takes the same path.
    static const bool wide = [] {
#if defined(LUMENFOLD_WIDE_LOOPS)
        const char* portable = std::getenv("LUMENFOLD_PORTABLE");
        if (portable != nullptr && *portable != '\0' && std::strcmp(portable, "0") != 0)
            return false;
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
#else
        return false;
#endif
    }();
    return wide;
}

#if !defined(LUMENFOLD_WIDE_LOOPS)
// Without the AVX2 file nothing may call these; wideLoops() is false.
namespace avx2 {
int summarise(const double*, const double*, int, Summary&) {
    std::abort();
}
int scanColumn(bool, bool, const double*, int, int, int, double, double, double, std::uint8_t*, int,
               int, ColumnScan&) {
    std::abort();
}
int skipCovered(const int*, int, const FarTest&, int, FarState&) {
    std::abort();
}
int copyDrawn(const int*, int, const FarTest&, int, FarState&, int*) {
    std::abort();
}
std::size_t collectInside(const double*, const double*, int, int, const double*, const double*,
                          int*, std::size_t, int&, int&, std::uint64_t*, std::ptrdiff_t, int, int) {
    std::abort();
}
void paintRow(const std::uint64_t*, int, int, std::uint32_t*, std::uint32_t) {
    std::abort();
}
void stampRows(const StampRows&) {
    std::abort();
}
int tilesOpen(const int*, int, const TileCounts&, int*) {
    std::abort();
}
void vertexBox(const int*, std::size_t, int*) {
    std::abort();
}
} // namespace avx2
#endif

} // namespace tellurix::lumenfold::plotting::detail
