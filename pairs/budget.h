#ifndef QUORL_PAIRS_BUDGET_H
#define QUORL_PAIRS_BUDGET_H

#include <cstdint>
#include <new>
#include <string>

// Thrown by the pair search when a pair beyond its limit arrives, with the number of pairs found
// by then (more than the limit); the driver turns it into a pair_limit_error with the whole story.
struct pair_limit_reached {
    uint64_t found;
};

// A decomposition stopped because it has more pairs than it may hold: a std::bad_alloc, so that
// both Python modules raise MemoryError, whose message says how many pairs were found, the limit
// and where it came from, the least memory the whole would need and what to change.
class pair_limit_error : public std::bad_alloc {
  public:
    // found > limit pairs were found; `why` describes the limit ("max_pairs = 10", "the 4.0 GiB
    // ... available when the call began").
    pair_limit_error(uint64_t found, uint64_t limit, const std::string &why);
    const char *what() const noexcept override { return message_.c_str(); }
    uint64_t found() const { return found_; }
    uint64_t limit() const { return limit_; }

  private:
    uint64_t found_, limit_;
    std::string message_;
};

// The bytes as a short figure for messages: "512 bytes", "3.2 MiB", "41.0 GiB".
std::string ByteFigure(uint64_t bytes);

#endif
