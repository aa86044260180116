#ifndef QUORL_COMMON_MEMORY_H
#define QUORL_COMMON_MEMORY_H

#include <cstdint>
#include <string>

// How much memory this process may still take, in bytes, and what limits it: the smallest of
// MemAvailable (/proc/meminfo), the headroom under RLIMIT_AS and RLIMIT_DATA when they are set,
// and the headroom under the cgroup's memory.max when there is one. UINT64_MAX with the source
// "no limit known" when none of them can be read.
struct memory_headroom {
    uint64_t bytes;
    std::string source;
};
memory_headroom AvailableMemory();

// The headroom under RLIMIT_AS alone (UINT64_MAX when it is not set): what new threads' stacks
// and the C library's per-thread arenas take from.
uint64_t AddressSpaceHeadroom();

// The number of threads to run `workers` on: 1 when workers <= 1; also 1 in a child forked after
// this process used its OpenMP threads (libgomp's pool does not survive fork, and a parallel
// region there would wait for threads that do not exist), and 1 when the address space left
// under RLIMIT_AS could not hold the threads' stacks (libgomp ends the process when it cannot
// start a thread). Otherwise workers. The results never depend on it.
int32_t UsableThreads(int32_t workers);

#endif
