#include "pairs/node_pairs.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "common/memory.h"
#include "common/parallel.h"
#include "common/stages.h"
#include "pairs/budget.h"
#include "pairs/search.h"

node_pair_buffer::node_pair_buffer(node_pair_buffer &&other) noexcept
    : ids_(other.ids_), used_(other.used_), capacity_(other.capacity_), limit_(other.limit_) {
    other.ids_ = nullptr;
    other.used_ = other.capacity_ = 0;
}

node_pair_buffer &node_pair_buffer::operator=(node_pair_buffer &&other) noexcept {
    if (this != &other) {
        free(ids_);
        ids_ = other.ids_;
        used_ = other.used_;
        capacity_ = other.capacity_;
        limit_ = other.limit_;
        other.ids_ = nullptr;
        other.used_ = other.capacity_ = 0;
    }
    return *this;
}

node_pair_buffer::~node_pair_buffer() { free(ids_); }

void node_pair_buffer::Grow() {
    if (pairs() >= limit_) throw pair_limit_reached{uint64_t(pairs()) + 1};
    // Never room for more than the limit: a limit set from the memory available must hold
    // against the block's own growth too.
    const size_t most = limit_ > SIZE_MAX / 4 ? SIZE_MAX / 4 : limit_ * 2;
    size_t capacity = capacity_ < 1024 ? 1024 : capacity_ * 2;
    if (capacity > most) capacity = most;
    ids_ = static_cast<int32_t *>(CheckedRealloc(ids_, capacity * sizeof(int32_t)));
    capacity_ = capacity;
}

void node_pair_buffer::Reserve(size_t pairs) {
    const size_t ints = std::min(pairs, limit_) * 2;
    if (ints <= capacity_) return;
    ids_ = static_cast<int32_t *>(CheckedRealloc(ids_, ints * sizeof(int32_t)));
    capacity_ = ints;
}

int32_t *node_pair_buffer::Extend(size_t count) {
    int32_t *at = ids_ + used_;
    used_ += count * 2;
    return at;
}

namespace {

// Pairs a block of a thread's output holds: 2 MiB, whole pages given back as they are copied.
// The pairs are counted against the limit every kCountPairs, so that a refusal comes within a
// few hundred kilobytes of the limit whatever the block size.
const size_t kBlockPairs = size_t(1) << 18;
const size_t kBlockBytes = kBlockPairs * 2 * sizeof(int32_t);
const size_t kCountPairs = size_t(1) << 15;

// One thread's pairs, in blocks of kBlockPairs, in the order its tasks found them. Every
// kCountPairs pairs are added to the shared count, which is checked against the limit; a thread
// that sees the loop stopping gives up its task there.
struct pair_stream {
    checked_vector<int32_t *> blocks;
    size_t used = 0;
    std::atomic<uint64_t> *counted = nullptr;
    uint64_t limit = 0;
    const task_errors *errors = nullptr;

    pair_stream() = default;
    pair_stream(const pair_stream &) = delete;
    pair_stream &operator=(const pair_stream &) = delete;
    ~pair_stream() {
        for (int32_t *b : blocks) FreePages(b, kBlockBytes);
    }

    // Thrown to abandon a task when another one has failed.
    struct abandoned {};

    void push(int32_t a, int32_t b) {
        const size_t at = used % kBlockPairs;
        if (at % kCountPairs == 0) Checkpoint(at);
        int32_t *block = blocks.back();
        block[2 * at] = a;
        block[2 * at + 1] = b;
        ++used;
    }
    void Checkpoint(size_t at) {
        if (used > 0) {
            const uint64_t total = counted->fetch_add(kCountPairs) + kCountPairs;
            if (total > limit) throw pair_limit_reached{total};
        }
        if (errors->stopped()) throw abandoned();
        if (at != 0) return;
        blocks.reserve(blocks.size() + 1);
        blocks.push_back(static_cast<int32_t *>(CheckedPages(kBlockBytes)));
    }
};

// One task of the search, in the order of the serial search: a pair found on the way (pair),
// or a node pair to search, whose output is pairs [begin, end) of thread `thread`'s stream.
struct search_task {
    int32_t a, b;
    bool pair;
    int32_t thread;
    size_t begin, end;
};

template <typename View>
void SearchInParallel(const View &view, int32_t n, double s, int32_t workers,
                      node_pair_buffer &out) {
    // Tasks of at most `grain` points, a few dozen per thread, balance well under dynamic
    // scheduling and are cheap to set up.
    const int32_t grain = std::max<int32_t>(64, n / (32 * workers));
    checked_vector<search_task> tasks;
    auto weight = [&view](int32_t a, int32_t b) {
        return view.size[a] + (b < 0 ? 0 : view.size[b]);
    };
    SearchPairs(
        view, 0, view.none(), s,
        [&tasks](int32_t a, int32_t b) { tasks.push_back({a, b, true, 0, 0, 0}); },
        [&](int32_t a, int32_t b) {
            if (weight(a, b) > grain) return false;
            tasks.push_back({a, b, false, 0, 0, 0});
            return true;
        });

    StageMark("pairs: top");
    const size_t m = tasks.size();
    std::atomic<uint64_t> counted{0};
    for (const search_task &t : tasks) counted += t.pair;
    const uint64_t limit = out.limit();
    if (counted > limit) throw pair_limit_reached{counted};
    task_errors errors(m);
    checked_vector<pair_stream> streams(static_cast<size_t>(workers));
    for (pair_stream &st : streams) {
        st.counted = &counted;
        st.limit = limit;
        st.errors = &errors;
    }
    QUORL_OMP(parallel num_threads(workers))
    {
        PrepareExceptionStorage();
        pair_stream &st = streams[size_t(ThreadNumber())];
        QUORL_OMP(for schedule(dynamic, 1))
        for (int64_t i = 0; i < int64_t(m); ++i) {
            search_task &t = tasks[size_t(i)];
            if (t.pair) continue;
            if ((i & 63) == 0) Progress(double(i) / double(m));
            errors.Run(size_t(i), [&] {
                t.thread = ThreadNumber();
                t.begin = st.used;
                try {
                    SearchPairs(view, t.a, t.b, s, [&st](int32_t x, int32_t y) { st.push(x, y); });
                } catch (const pair_stream::abandoned &) {
                }
                t.end = st.used;
            });
        }
    }
    StageMark("pairs: search");
    uint64_t total = 0;
    for (const search_task &t : tasks) total += t.pair;
    for (const pair_stream &st : streams) total += st.used;
    try {
        errors.Rethrow();
    } catch (const pair_limit_reached &) {
        throw pair_limit_reached{total};
    }
    if (total > limit) throw pair_limit_reached{total};

    // Joined in task order. Each thread copies its own stream, which holds its tasks in
    // increasing order, and frees each block once it has passed it: the pages go back while the
    // result's pages are first touched, so the pairs are held about once, not twice, and the
    // result's pages come from memory this process has just used rather than from new memory
    // (which on a virtual machine costs the host a fault of its own per page).
    out.Reserve(size_t(total));
    int32_t *const base = out.Extend(size_t(total));
    checked_vector<size_t> at(m + 1);
    at[0] = 0;
    for (size_t i = 0; i < m; ++i) {
        at[i + 1] = at[i] + (tasks[i].pair ? 1 : tasks[i].end - tasks[i].begin);
        if (tasks[i].pair) {
            base[2 * at[i]] = tasks[i].a;
            base[2 * at[i] + 1] = tasks[i].b;
        }
    }
    // One stream an iteration, whatever number of threads this region gets.
    QUORL_OMP(parallel for num_threads(workers) schedule(dynamic, 1))
    for (int32_t w = 0; w < workers; ++w) {
        pair_stream &st = streams[size_t(w)];
        size_t freed = 0;  // blocks of st freed so far
        for (size_t i = 0; i < m; ++i) {
            const search_task &t = tasks[i];
            if (t.pair || t.thread != w) continue;
            int32_t *to = base + 2 * at[i];
            for (size_t from = t.begin; from < t.end;) {
                const size_t block = from / kBlockPairs, offset = from % kBlockPairs;
                const size_t count = std::min(t.end - from, kBlockPairs - offset);
                memcpy(to, st.blocks[block] + 2 * offset, count * 2 * sizeof(int32_t));
                to += 2 * count;
                from += count;
                for (; freed < from / kBlockPairs; ++freed) {
                    FreePages(st.blocks[freed], kBlockBytes);
                    st.blocks[freed] = nullptr;
                }
            }
        }
    }
    StageMark("pairs: join");
}

}  // namespace

void FindFlatPairs(const flat_tree &t, double s, int32_t workers, node_pair_buffer &out) {
    if (t.n < 2 || (workers = UsableThreads(workers)) <= 1) {
        uint32_t found = 0;
        WithFlatTreeView(t, [&](auto view) {
            return SearchPairs(view, 0, view.none(), s, [&out, &found](int32_t a, int32_t b) {
                if ((++found & 0xFFFF) == 0) ThrowIfStopped();
                out.push(a, b);
            });
        });
        StageMark("pairs: search");
        return;
    }
    WithFlatTreeView(t, [&](auto view) {
        SearchInParallel(view, t.n, s, workers, out);
        return 0;
    });
}
