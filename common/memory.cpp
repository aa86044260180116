#include "common/memory.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>

namespace {

// The number after `key` in a "key: value kB" file such as /proc/meminfo, in bytes.
bool ReadKilobytes(const char *path, const std::string &key, uint64_t &bytes) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) != 0) continue;
        unsigned long long kb = 0;
        if (std::sscanf(line.c_str() + key.size(), " %llu", &kb) != 1) return false;
        bytes = uint64_t(kb) * 1024;
        return true;
    }
    return false;
}

// The first number in a file such as cgroup's memory.max; false for "max" or when unreadable.
bool ReadNumber(const std::string &path, uint64_t &value) {
    std::ifstream in(path);
    unsigned long long v = 0;
    if (!(in >> v)) return false;
    value = uint64_t(v);
    return true;
}

// The process's address space and data segment in bytes, from /proc/self/statm (size and data
// are its first and sixth fields, in pages).
bool ReadStatm(uint64_t &size, uint64_t &data) {
    std::ifstream in("/proc/self/statm");
    unsigned long long f[6];
    for (auto &x : f)
        if (!(in >> x)) return false;
    const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
    size = uint64_t(f[0]) * page;
    data = uint64_t(f[5]) * page;
    return true;
}

// The cgroup (v2) of this process, "" when unknown: the path after "0::" in /proc/self/cgroup.
std::string CgroupDirectory() {
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 3, "0::") == 0) return "/sys/fs/cgroup" + line.substr(3);
    return "";
}

void Consider(memory_headroom &best, uint64_t bytes, const std::string &source) {
    if (bytes < best.bytes) best = {bytes, source};
}

}  // namespace

memory_headroom AvailableMemory() {
    memory_headroom best{UINT64_MAX, "no limit known"};
    uint64_t bytes;
    if (ReadKilobytes("/proc/meminfo", "MemAvailable:", bytes))
        Consider(best, bytes, "MemAvailable in /proc/meminfo");
    uint64_t size = 0, data = 0;
    const bool statm = ReadStatm(size, data);
    struct rlimit lim;
    if (statm && getrlimit(RLIMIT_AS, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
        Consider(best, uint64_t(lim.rlim_cur) > size ? uint64_t(lim.rlim_cur) - size : 0,
                 "the headroom under RLIMIT_AS");
    if (statm && getrlimit(RLIMIT_DATA, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
        Consider(best, uint64_t(lim.rlim_cur) > data ? uint64_t(lim.rlim_cur) - data : 0,
                 "the headroom under RLIMIT_DATA");
    const std::string cgroup = CgroupDirectory();
    uint64_t max = 0, current = 0;
    if (!cgroup.empty() && ReadNumber(cgroup + "/memory.max", max) &&
        ReadNumber(cgroup + "/memory.current", current))
        Consider(best, max > current ? max - current : 0,
                 "the headroom under the cgroup's memory.max");
    return best;
}

uint64_t AddressSpaceHeadroom() {
    struct rlimit lim;
    if (getrlimit(RLIMIT_AS, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
    uint64_t size = 0, data = 0;
    if (!ReadStatm(size, data)) return 0;
    return uint64_t(lim.rlim_cur) > size ? uint64_t(lim.rlim_cur) - size : 0;
}

namespace {

std::atomic<bool> pool_used{false}, forked_after_use{false};
std::once_flag fork_hook;

void AfterFork() {
    if (pool_used.load()) forked_after_use.store(true);
}

// Address space a thread takes at most: its stack (8 MiB by default) and a C library arena
// (64 MiB reserved), with room to spare.
const uint64_t kThreadBytes = uint64_t(128) << 20;

}  // namespace

int32_t UsableThreads(int32_t workers) {
    if (workers <= 1 || forked_after_use.load()) return 1;
    const uint64_t room = AddressSpaceHeadroom();
    if (room != UINT64_MAX && room / kThreadBytes < uint64_t(workers)) return 1;
    std::call_once(fork_hook, [] { pthread_atfork(nullptr, nullptr, AfterFork); });
    pool_used.store(true);
    return workers;
}
