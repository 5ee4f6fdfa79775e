#pragma once
// The process-wide worker pool: "run task(i) for every i in [0, n)".
//
// The pool is created on first use and lives until the process ends. Its
// size comes from RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS (see
// thread_count_from_env), by default the processors this process may run on.
// Threads are not bound to processors or nodes; each job keeps the idle
// workers off the caller's processor until they run (worker_placement.hpp).

#include <cstddef>
#include <functional>

namespace tfs::pool {

// Largest pool size; larger configured counts are cut down to it.
inline constexpr std::size_t kMaxThreads = 65535;

// Number of threads of the process-wide pool (creates nothing).
std::size_t thread_count();

// Runs task(i) exactly once for every i in [0, n) on the pool; the calling
// thread blocks until all have run. An exception thrown by a task reaches the
// caller once no task is running any more (tasks not yet started when it was
// thrown may then not run at all). In a process forked after the pool
// started, the tasks run one after another on the calling thread.
void parallel_for(std::size_t n, const std::function<void(std::size_t)>& task);

// parallel_for with at most `workers` tasks running at once: `workers`
// pieces take the indices in turn. With workers <= 1 every task runs on the
// calling thread, in order, and the pool is not created.
void capped_parallel_for(std::size_t workers, std::size_t n, const std::function<void(std::size_t)>& task);

// The pool size rule over the two environment values (nullptr = unset):
// `num_threads` when it is a positive decimal integer, `default_count` when
// it is 0; when it is unset or not a number, `rs_num_cpus` when that is a
// positive decimal integer, else `default_count`. The result is capped at
// kMaxThreads. A number is ASCII digits with an optional leading '+' that
// fits in 64 bits; anything else (spaces included) is not a number.
// Requires default_count >= 1.
std::size_t thread_count_from_env(const char* num_threads, const char* rs_num_cpus,
                                  std::size_t default_count);

// Logical processors this process may run on (its affinity mask), or the
// online processor count when the mask cannot be read; 1 when either reads 0.
std::size_t default_thread_count();

}  // namespace tfs::pool
