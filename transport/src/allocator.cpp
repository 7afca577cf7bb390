#include <tellurix/lumenfold/transport.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tellurix::lumenfold::transport {

bool keep_memory_for_large_messages() {
#if defined(__GLIBC__)
    // ZeroMQ's I/O thread allocates each large incoming message and the consumer frees it
    // soon after. With the C library's defaults the freed block at the top of the heap is
    // handed back to the system every time and faulted in again for the next message, four
    // to nine page faults per 80 KB trace; blocks above the adaptive mmap threshold are
    // mapped and unmapped each time. Keeping up to 64 MiB of free memory and serving blocks
    // up to 16 MiB from the heap removes that churn.
    const bool trim = mallopt(M_TRIM_THRESHOLD, 64 << 20) == 1;
    const bool map = mallopt(M_MMAP_THRESHOLD, 16 << 20) == 1;
    return trim && map;
#else
    return false;
#endif
}

} // namespace tellurix::lumenfold::transport
