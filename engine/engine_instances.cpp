// Explicit instances of the engine entry and of rollercoaster sort. The
// per-type tiers live in unsigned_integer.hpp and signed_integer.hpp.
#include "engine/types/engine_sort.hpp"

#include "engine/sorts/rollercoaster_sort.hpp"
#include "engine/types/signed_integer.hpp"
#include "engine/types/unsigned_integer.hpp"

namespace tfs {

template <typename T>
void engine_sort(std::span<T> slice) {
    tiered_sort(slice);
}

template void engine_sort<std::uint32_t>(std::span<std::uint32_t>);
template void engine_sort<std::int32_t>(std::span<std::int32_t>);
template void engine_sort<std::uint64_t>(std::span<std::uint64_t>);
template void engine_sort<std::int64_t>(std::span<std::int64_t>);

template void rollercoaster_sort_level<std::int32_t>(std::span<std::int32_t>, const RadixParams&, std::uint64_t,
                                                     bool);
template void rollercoaster_sort_level<std::int64_t>(std::span<std::int64_t>, const RadixParams&, std::uint64_t,
                                                     bool);

}  // namespace tfs
