#include "float_keys.hpp"
#include "engine/failure.hpp"
namespace tfs {
template <typename F>
void float_key_sort(std::span<F>) { fail("sorting is not available yet"); }
template void float_key_sort<float>(std::span<float>);
template void float_key_sort<double>(std::span<double>);
}  // namespace tfs
