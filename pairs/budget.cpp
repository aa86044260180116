#include "pairs/budget.h"

#include <cstdio>
#include <sstream>
#include <string>

std::string ByteFigure(uint64_t bytes) {
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return std::to_string(bytes) + " bytes";
    double x = double(bytes) / 1024;
    int u = 0;
    while (x >= 1024 && u < 5) x /= 1024, ++u;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", x, units[u]);
    return text;
}

pair_limit_error::pair_limit_error(uint64_t found, uint64_t limit, const std::string &why)
    : found_(found), limit_(limit) {
    const uint64_t need = found > UINT64_MAX / 8 ? UINT64_MAX : found * 8;
    std::ostringstream out;
    out << "the decomposition has more than " << limit << (limit == 1 ? " pair (" : " pairs (")
        << why << "): stopped after " << found << (found == 1 ? " pair was" : " pairs were")
        << " found; at 8 bytes a pair the whole needs at least " << ByteFigure(need);
    if (need >= 1024) out << " (" << need << " bytes)";
    out << ", and its true size is unknown. Use a smaller s (fewer, larger pairs), fewer points "
           "or fewer dimensions; the minimum spanning tree, the nearest neighbours and HDBSCAN "
           "need no pairs (quorlkit.emst, quorlkit.knn)";
    message_ = out.str();
}
