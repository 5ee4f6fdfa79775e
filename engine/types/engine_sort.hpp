#pragma once
// The engine's one entry: sorts a slice of u32, i32, u64 or i64 ascending, in
// place, in the natural order of the type. Single-threaded, reentrant, keeps
// no state between calls. Defined per type in unsigned_integer.hpp and
// signed_integer.hpp; instantiated once in engine_instances.cpp.

#include <cstdint>
#include <span>

namespace tfs {

template <typename T>
void engine_sort(std::span<T> slice);

extern template void engine_sort<std::uint32_t>(std::span<std::uint32_t>);
extern template void engine_sort<std::int32_t>(std::span<std::int32_t>);
extern template void engine_sort<std::uint64_t>(std::span<std::uint64_t>);
extern template void engine_sort<std::int64_t>(std::span<std::int64_t>);

}  // namespace tfs
