// Explicit instances of the radix algorithms for the key types that use them.
#include <cstdint>
#include <span>
#include <vector>

#include "engine/sorts/comparative_sort.hpp"
#include "engine/sorts/counting_sort.hpp"
#include "engine/sorts/dlsd_sort.hpp"
#include "engine/sorts/lsd_sort.hpp"
#include "engine/sorts/msd_sort.hpp"
#include "engine/sorts/recursive_radix_sort.hpp"
#include "engine/sorts/ska_sort.hpp"

namespace tfs {

template void lsd_sort<std::uint32_t>(std::span<std::uint32_t>, const RadixParams&);
template void lsd_sort<std::int32_t>(std::span<std::int32_t>, const RadixParams&);
template void lsd_sort<std::uint64_t>(std::span<std::uint64_t>, const RadixParams&);
template void lsd_sort<std::int64_t>(std::span<std::int64_t>, const RadixParams&);

template void counting_sort<std::uint32_t>(std::span<std::uint32_t>, unsigned);
template void counting_sort<std::int32_t>(std::span<std::int32_t>, unsigned);

template void msd_sort<std::uint32_t>(std::span<std::uint32_t>, const RadixParams&);
template void msd_sort<std::int32_t>(std::span<std::int32_t>, const RadixParams&);
template void msd_sort<std::uint64_t>(std::span<std::uint64_t>, const RadixParams&);
template void msd_sort<std::int64_t>(std::span<std::int64_t>, const RadixParams&);

template void ska_permute<std::uint64_t>(std::span<std::uint64_t>, std::span<std::uint64_t>,
                                         std::span<const std::uint64_t>, std::uint64_t, unsigned);
template void ska_permute<std::int64_t>(std::span<std::int64_t>, std::span<std::uint64_t>,
                                        std::span<const std::uint64_t>, std::uint64_t, unsigned);
template void ska_permute<std::int32_t>(std::span<std::int32_t>, std::span<std::uint64_t>,
                                        std::span<const std::uint64_t>, std::uint32_t, unsigned);

template void recursive_radix_sort_level<std::uint64_t>(std::span<std::uint64_t>, const RadixParams&);
template void recursive_radix_sort_level<std::int64_t>(std::span<std::int64_t>, const RadixParams&);

template std::vector<SortRange> dlsd_fixup<std::uint32_t>(std::span<std::uint32_t>, std::uint32_t);
template std::vector<SortRange> dlsd_fixup<std::int32_t>(std::span<std::int32_t>, std::uint32_t);
template std::vector<SortRange> dlsd_fixup<std::uint64_t>(std::span<std::uint64_t>, std::uint64_t);
template std::vector<SortRange> dlsd_fixup<std::int64_t>(std::span<std::int64_t>, std::uint64_t);

template void dlsd_core<std::uint32_t>(std::span<std::uint32_t>, const RadixParams&, std::uint64_t, DlsdMode);
template void dlsd_core<std::int32_t>(std::span<std::int32_t>, const RadixParams&, std::uint64_t, DlsdMode);
template void dlsd_core<std::uint64_t>(std::span<std::uint64_t>, const RadixParams&, std::uint64_t, DlsdMode);
template void dlsd_core<std::int64_t>(std::span<std::int64_t>, const RadixParams&, std::uint64_t, DlsdMode);
template void dlsd_sort<std::uint32_t>(std::span<std::uint32_t>, std::uint64_t);
template void dlsd_sort<std::uint64_t>(std::span<std::uint64_t>, std::uint64_t);

}  // namespace tfs
