// Placeholder until the engine front lands: engine_sort by std::sort.
#include "engine/types/engine_sort.hpp"

#include <algorithm>

namespace tfs {

template <typename T>
void engine_sort(std::span<T> slice) {
    std::sort(slice.begin(), slice.end());
}

template void engine_sort<std::uint32_t>(std::span<std::uint32_t>);
template void engine_sort<std::int32_t>(std::span<std::int32_t>);
template void engine_sort<std::uint64_t>(std::span<std::uint64_t>);
template void engine_sort<std::int64_t>(std::span<std::int64_t>);

}  // namespace tfs
