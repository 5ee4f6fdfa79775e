#pragma once
// The process-wide worker pool: "run task(i) for every i in [0, n)".

#include <cstddef>
#include <functional>

namespace tfs::pool {

// Number of threads of the process-wide pool (creates nothing).
std::size_t thread_count();

// Runs task(i) exactly once for every i in [0, n) on the pool; the calling
// thread blocks until all have run. An exception thrown by a task reaches the
// caller once no task is running any more.
void parallel_for(std::size_t n, const std::function<void(std::size_t)>& task);

}  // namespace tfs::pool
