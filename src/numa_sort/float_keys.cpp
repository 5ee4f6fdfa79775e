#include "float_keys.hpp"

#include "driver.hpp"
#include "float_keys_impl.hpp"
#include "pool.hpp"

namespace tfs {

template <typename F>
void float_key_sort(std::span<F> slice) {
    float_key_sort_with(
        slice, [](std::span<float_key_t<F>> keys) { numa_partitioned_sort(keys); },
        [](std::size_t n, const auto& task) {
            // One chunk runs here without wrapping the task for the pool.
            if (n == 1) return task(0);
            pool::parallel_for(n, task);
        });
}

template void float_key_sort<float>(std::span<float>);
template void float_key_sort<double>(std::span<double>);

}  // namespace tfs
