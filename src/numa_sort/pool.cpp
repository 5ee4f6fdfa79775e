#include "pool.hpp"
namespace tfs::pool {
std::size_t thread_count() { return 1; }
void parallel_for(std::size_t n, const std::function<void(std::size_t)>& task) {
    for (std::size_t i = 0; i < n; ++i) task(i);
}
}  // namespace tfs::pool
