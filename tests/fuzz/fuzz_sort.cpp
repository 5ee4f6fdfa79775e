// Structure-aware fuzz target of the sort paths: engine_sort, the partitioned
// driver on a machine of any node count, and the float key sort through its
// seam. Each input decodes into one case; the result must equal std::sort
// (totalOrder of the bit patterns for floats) bit for bit, with the same
// multiset fingerprint and untouched guards. A mismatch prints the case and
// aborts.
//
// Input layout (missing bytes read as zero):
//   [0]      element type: u32, i32, u64, i64, f32, f64 (byte mod 6)
//   [1]      bit 0: through the partitioned driver; bit 1 (floats): the
//            generated values are totalOrder keys mapped to floats
//   [2]      node count of the simulated machine (0 and 1: single node)
//   [3], [4] length: kLengthBounds[byte mod its size] + (byte mod 9) - 4
//   [5]      generator: a catalogue case (byte mod (cases + 2)); the last two
//            take the rest of the input as elements, as is or repeated
//   [6..13]  seed, little endian
//   [14..]   raw element bytes

#include <cstdio>
#include <optional>

#include "distributions.hpp"
#include "engine/types/engine_sort.hpp"
#include "numa_sort/driver_impl.hpp"
#include "numa_sort/float_keys.hpp"
#include "numa_sort/float_keys_impl.hpp"

namespace {

namespace tt = tfs::testing;

// Both sides of the engine's tier bounds and cut-offs, small enough for the
// sanitizers.
constexpr std::size_t kLengthBounds[] = {0,    1,    2,    3,     5,     10,    17,    64,    128,    129,
                                         200,  250,  251,  256,   257,   350,   900,   3000,  3001,   7000,
                                         7001, 30000, 30001, 65536, 65537, 85000, 99999, 100000, 128000, 128001};
constexpr std::size_t kHeader = 14;
const char* const kTypes[] = {"u32", "i32", "u64", "i64", "f32", "f64"};

struct FuzzCase {
    std::uint8_t h[kHeader] = {};
    std::size_t length = 0;
    std::uint64_t seed = 0;
    std::span<const std::uint8_t> raw;
    std::string generator;
};

// Elements of integer type T: a catalogue case or the raw bytes.
template <typename T>
std::vector<T> make_input(FuzzCase& c) {
    const auto cases = tt::catalogue<T>();
    const unsigned choice = c.h[5] % (cases.size() + 2);
    c.generator = choice < cases.size() ? cases[choice].name : choice == cases.size() ? "raw" : "raw_repeated";
    if (choice < cases.size()) return cases[choice].make(c.length, c.seed);
    std::vector<T> pattern(c.raw.size() / sizeof(T));
    if (!pattern.empty()) std::memcpy(pattern.data(), c.raw.data(), pattern.size() * sizeof(T));
    if (choice == cases.size() || pattern.empty()) return choice == cases.size() ? pattern : std::vector<T>(c.length);
    std::vector<T> v(c.length);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = pattern[i % pattern.size()];
    return v;
}

std::optional<tfs::Topology> machine(std::uint64_t nodes) {
    return nodes <= 1 ? std::nullopt : std::optional(tfs::Topology{nodes, std::vector<std::uint64_t>(nodes, 1)});
}

// Sorts a guarded copy of `input` (bit patterns U) with `sort` as elements of
// type E, and compares with `reference`: guards, fingerprint and every bit.
template <typename E, typename U, typename Sort>
void check(const FuzzCase& c, const std::vector<U>& input, const std::vector<U>& reference, Sort&& sort) {
    tt::GuardedBuffer<U> buffer(input);
    sort(std::span<E>(reinterpret_cast<E*>(buffer.slice().data()), input.size()));
    const char* what = !buffer.guards_intact() ? "a guard zone was overwritten"
                       : !(tt::fingerprint<U>(buffer.slice()) == tt::fingerprint<U>(reference)) ? "multiset fingerprint differs"
                       : !std::equal(reference.begin(), reference.end(), buffer.slice().begin()) ? "differs from the reference sort"
                                                                                                 : nullptr;
    if (what == nullptr) return;
    std::fprintf(stderr, "fuzz_sort MISMATCH: %s; type %s, %s, nodes %u, length %zu, generator %s, seed %llu%s\n", what,
                 kTypes[c.h[0] % 6], c.h[1] & 1 ? "partitioned driver" : "direct", c.h[2], input.size(),
                 c.generator.c_str(), static_cast<unsigned long long>(c.seed), c.h[1] & 2 ? ", floats from keys" : "");
    std::abort();
}

template <typename T>
void run_integer(FuzzCase& c) {
    const std::vector<T> input = make_input<T>(c);
    std::vector<tfs::key_t<T>> bits(input.size()), reference(input.size());
    const std::vector<T> sorted = tt::sorted_reference<T>(input);
    std::memcpy(bits.data(), input.data(), input.size() * sizeof(T));
    std::memcpy(reference.data(), sorted.data(), input.size() * sizeof(T));
    check<T>(c, bits, reference, [&](std::span<T> s) {
        if (c.h[1] & 1) tfs::partitioned_sort(s, [&] { return machine(c.h[2]); }, tfs::engine_sort<T>);
        else tfs::engine_sort<T>(s);
    });
}

// totalOrder of bit patterns: negative patterns first, larger magnitudes
// earlier; positive ones by magnitude.
template <typename U>
bool total_order_less(U a, U b) {
    const bool na = a >> (sizeof(U) * 8 - 1), nb = b >> (sizeof(U) * 8 - 1);
    return na != nb ? na : na ? a > b : a < b;
}

template <typename F>
void run_float(FuzzCase& c) {
    using U = tfs::float_key_t<F>;
    std::vector<U> input = make_input<U>(c);
    if (c.h[1] & 2)  // the generated structure lies in totalOrder
        for (U& p : input) p = tfs::key_to_float(p);
    std::vector<U> reference = input;
    std::sort(reference.begin(), reference.end(), total_order_less<U>);
    check<F>(c, input, reference, [&](std::span<F> s) {
        if (!(c.h[1] & 1)) return tfs::float_key_sort<F>(s);
        tfs::float_key_sort_with(
            s, [&](std::span<U> keys) { tfs::partitioned_sort(keys, [&] { return machine(c.h[2]); }, tfs::engine_sort<U>); },
            [](std::size_t n, const auto& task) { tfs::pool::parallel_for(n, task); });
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzCase c;
    std::memcpy(c.h, data, std::min(size, kHeader));
    const long length = static_cast<long>(kLengthBounds[c.h[3] % std::size(kLengthBounds)]) + c.h[4] % 9 - 4;
    c.length = static_cast<std::size_t>(std::max(length, 0L));
    for (int i = 0; i < 8; ++i) c.seed |= std::uint64_t{c.h[6 + i]} << (8 * i);
    if (size > kHeader) c.raw = std::span<const std::uint8_t>(data + kHeader, size - kHeader);
    using Run = void (*)(FuzzCase&);
    constexpr Run runs[] = {run_integer<std::uint32_t>, run_integer<std::int32_t>, run_integer<std::uint64_t>,
                            run_integer<std::int64_t>,  run_float<float>,          run_float<double>};
    runs[c.h[0] % 6](c);
    return 0;
}
