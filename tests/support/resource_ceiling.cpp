// Every test program holds itself to a ceiling of address space from its
// first instruction, so that a runaway test (a queue that never drains, a
// buffer that keeps growing) fails with an allocation failure instead of
// taking the machine's memory with it. The ceiling is a fixed part (the
// largest read buffer a test asks for, 1 GiB, and room besides) plus a part
// per processor: a pool has a worker per processor, and each worker's stack
// and malloc arena are reserved address space. Only the soft limit is set, so
// a test may still hold a child of its own to less. The sanitizers reserve
// vast shadow memory of their own, so their builds go without; CTest's
// TIMEOUT on every test bounds time in every build.

#include "sanitized.h"

#include <algorithm>
#include <sys/resource.h>
#include <unistd.h>

namespace {

#ifndef QUELBY_SANITIZED
[[gnu::constructor]] void holdToTheAddressSpaceCeiling()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0) {
        return;
    }
    constexpr rlim_t kPerProcessor = rlim_t{96} << 20;
    const long processors = ::sysconf(_SC_NPROCESSORS_CONF);
    const rlim_t ceiling = (rlim_t{QUELBY_TEST_ADDRESS_SPACE_MIB} << 20) +
                           kPerProcessor * static_cast<rlim_t>(processors > 0 ? processors : 1);
    // RLIM_INFINITY is the largest value: an unlimited soft limit is above any ceiling.
    if (limit.rlim_cur > ceiling) {
        limit.rlim_cur = std::min(ceiling, limit.rlim_max);
        ::setrlimit(RLIMIT_AS, &limit);
    }
}
#endif

} // namespace
