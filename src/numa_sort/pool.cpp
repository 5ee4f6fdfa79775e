#include "pool.hpp"

#include "worker_placement.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include <unistd.h>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace tfs::pool {
namespace {

static_assert(kMaxThreads <= static_cast<std::size_t>(INT32_MAX), "oneTBB counts threads in int");

// oneTBB synchronises tasks with their waiter inside its own, uninstrumented
// library; a ThreadSanitizer build states that ordering here (a job's caller,
// then every piece of the job, then the caller again) so that writes made by
// tasks and read by the waiter, and the reverse, are not reported. One
// process-wide address serves every job: a piece must reach it before it has
// read anything the caller wrote, its captures included. No-ops in other
// builds.
[[maybe_unused]] int job_order;
inline void publish() {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(&job_order);
#endif
}
inline void observe() {
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(&job_order);
#endif
}
// Observes on entry and publishes on exit, also when a task fails.
struct OrderedScope {
    OrderedScope() { observe(); }
    ~OrderedScope() { publish(); }
    OrderedScope(const OrderedScope&) = delete;
    OrderedScope& operator=(const OrderedScope&) = delete;
};

// The loop body handed to oneTBB: runs the task for every index of a range.
// oneTBB copies it into each piece it hands to another thread; the copy
// publishes, so that the thread running the piece sees the copy complete.
class PieceBody {
public:
    explicit PieceBody(const std::function<void(std::size_t)>& task) : task_(&task) {}
    PieceBody(const PieceBody& other) : task_(other.task_) { publish(); }
    PieceBody& operator=(const PieceBody&) = delete;

    void operator()(const tbb::blocked_range<std::size_t>& range) const {
        const OrderedScope piece;
        for (std::size_t i = range.begin(); i != range.end(); ++i) (*task_)(i);
    }

private:
    const std::function<void(std::size_t)>* task_;
};

// Parses a positive or zero decimal count; nullopt for anything else.
std::optional<std::uint64_t> parse_count(const char* text) {
    if (text == nullptr) return std::nullopt;
    if (*text == '+') ++text;
    if (*text == '\0') return std::nullopt;
    std::uint64_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(*text - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t configured_thread_count() {
    static const std::size_t count = thread_count_from_env(
        std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), default_thread_count());
    return count;
}

// The pool: a oneTBB arena of `threads` slots, one of them kept for the
// thread that submits work (it takes part in the job while it waits).
class Pool {
public:
    explicit Pool(std::size_t threads) : owner_(::getpid()) {
        // oneTBB gives an arena no more workers than its process-wide limit,
        // by default the processor count; raise the limit before the arena
        // starts when the configured size is larger. The limit is only ever
        // raised, so that other oneTBB users in the process keep theirs.
        const int slots = static_cast<int>(threads);
        if (slots > tbb::info::default_concurrency())
            limit_.emplace(tbb::global_control::max_allowed_parallelism, threads);
        arena_.initialize(slots, 1);
        placement_.emplace(arena_);
    }

    // True in a process forked from the one that created the pool: the
    // worker threads did not survive the fork.
    bool forked() const { return ::getpid() != owner_; }

    void run(std::size_t n, const std::function<void(std::size_t)>& task) {
        const PieceBody body(task);
        // The arena may hand the job itself to another thread.
        const auto job = [&] {
            const OrderedScope scope;
            tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1), body, tbb::simple_partitioner{});
        };
        publish();
        struct After {
            ~After() { observe(); }
        } const after_job;
        placement_->keep_off_caller();
        arena_.execute(job);
    }

private:
    pid_t owner_;
    std::optional<tbb::global_control> limit_;
    tbb::task_arena arena_;
    std::optional<WorkerPlacement> placement_;
};

// Created once, on first use, and never destroyed: worker threads may still
// be winding down while static destructors run at exit.
Pool& instance() {
    static Pool* const pool = new Pool(configured_thread_count());
    return *pool;
}

}  // namespace

std::size_t thread_count_from_env(const char* num_threads, const char* rs_num_cpus,
                                  std::size_t default_count) {
    std::uint64_t count = default_count;
    if (const auto requested = parse_count(num_threads)) {
        if (*requested > 0) count = *requested;
    } else if (const auto cpus = parse_count(rs_num_cpus); cpus && *cpus > 0) {
        count = *cpus;
    }
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, kMaxThreads));
}

std::size_t default_thread_count() {
    std::size_t count = 0;
    if (const std::optional<CpuMask> mask = CpuMask::of(0)) count = mask->count();
    if (count == 0) {
        const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
        count = online > 0 ? static_cast<std::size_t>(online) : 0;
    }
    return count == 0 ? 1 : count;
}

std::size_t thread_count() { return configured_thread_count(); }

void parallel_for(std::size_t n, const std::function<void(std::size_t)>& task) {
    if (n == 0) return;
    // A single task gains nothing from the pool; run it here without
    // creating one.
    if (n == 1) {
        task(0);
        return;
    }
    Pool& pool = instance();
    if (pool.forked()) {
        for (std::size_t i = 0; i < n; ++i) task(i);
        return;
    }
    pool.run(n, task);
}

}  // namespace tfs::pool

namespace tfs::pool {

void capped_parallel_for(std::size_t workers, std::size_t n, const std::function<void(std::size_t)>& task) {
    if (workers <= 1 || n <= 1) {
        for (std::size_t i = 0; i < n; ++i) task(i);
        return;
    }
    if (workers >= n) {
        parallel_for(n, task);
        return;
    }
    std::atomic<std::size_t> next{0};
    parallel_for(workers, [&](std::size_t) {
        for (std::size_t i = next++; i < n; i = next++) task(i);
    });
}

}  // namespace tfs::pool
