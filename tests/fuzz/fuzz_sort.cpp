// Structure-aware fuzz target of the sort paths: engine_sort, the partitioned
// driver on a machine of any node count, and the float key sort through its
// seam. Each input is decoded into one case; the result must equal std::sort
// (totalOrder over bit patterns for floats) bit for bit, with the same
// multiset fingerprint and untouched guard zones. Any mismatch prints the
// decoded case and aborts.
//
// Input layout (missing bytes read as zero):
//   [0]      element type: u32, i32, u64, i64, f32, f64 (byte mod 6)
//   [1]      bit 0: through the partitioned driver; bit 1 (floats): the
//            generated values are totalOrder keys mapped to floats, else raw
//            bit patterns
//   [2]      node count of the simulated machine (0 and 1: single node)
//   [3]      length: one of kLengthBounds (byte mod its size) ...
//   [4]      ... moved by (byte mod 9) - 4, never below 0
//   [5]      generator: a catalogue case (byte mod (cases + 2)); the last two
//            take the elements from the rest of the input, as they are or
//            repeated up to the length
//   [6..13]  seed, little endian
//   [14..]   raw element bytes

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "distributions.hpp"
#include "engine/types/engine_sort.hpp"
#include "numa_sort/driver_impl.hpp"
#include "numa_sort/float_keys.hpp"
#include "numa_sort/float_keys_impl.hpp"
#include "numa_sort/pool.hpp"
#include "numa_sort/topology.hpp"

namespace {

namespace tt = tfs::testing;

// Both sides of the engine's tier bounds and cut-offs; the largest stays
// modest so that an input runs in milliseconds under the sanitizers.
constexpr std::size_t kLengthBounds[] = {0,     1,     2,     3,     5,      10,     17,     64,
                                         128,   129,   200,   250,   251,    256,    257,    350,
                                         900,   3000,  3001,  7000,  7001,   30000,  30001,  65536,
                                         65537, 85000, 99999, 100000, 128000, 128001};
constexpr std::size_t kHeaderBytes = 14;
constexpr int kLengthJitter = 4;
static_assert(std::size(kLengthBounds) <= 256);

struct FuzzCase {
    unsigned type;
    bool partitioned;
    bool float_from_keys;
    std::uint64_t nodes;
    std::size_t length;
    unsigned generator;
    std::uint64_t seed;
    std::span<const std::uint8_t> raw;
};

FuzzCase decode(const std::uint8_t* data, std::size_t size) {
    std::uint8_t h[kHeaderBytes] = {};
    std::memcpy(h, data, std::min(size, kHeaderBytes));
    FuzzCase c{};
    c.type = h[0] % 6;
    c.partitioned = (h[1] & 1) != 0;
    c.float_from_keys = (h[1] & 2) != 0;
    c.nodes = h[2];
    const int jittered = static_cast<int>(kLengthBounds[h[3] % std::size(kLengthBounds)]) +
                         static_cast<int>(h[4] % (2 * kLengthJitter + 1)) - kLengthJitter;
    c.length = static_cast<std::size_t>(std::max(jittered, 0));
    c.generator = h[5];
    for (int i = 0; i < 8; ++i) c.seed |= std::uint64_t{h[6 + i]} << (8 * i);
    if (size > kHeaderBytes) c.raw = std::span<const std::uint8_t>(data + kHeaderBytes, size - kHeaderBytes);
    return c;
}

const char* type_name(unsigned type) {
    static const char* const names[] = {"u32", "i32", "u64", "i64", "f32", "f64"};
    return names[type];
}

// Elements of integer type T for the case, from the catalogue or the raw bytes.
template <typename T>
std::vector<T> make_input(const FuzzCase& c, std::string& generator_name) {
    const auto cases = tt::catalogue<T>();
    const unsigned choice = c.generator % (cases.size() + 2);
    if (choice < cases.size()) {
        generator_name = cases[choice].name;
        return cases[choice].make(c.length, c.seed);
    }
    std::vector<T> pattern(c.raw.size() / sizeof(T));
    if (!pattern.empty()) std::memcpy(pattern.data(), c.raw.data(), pattern.size() * sizeof(T));
    if (choice == cases.size()) {
        generator_name = "raw";
        return pattern;
    }
    generator_name = "raw_repeated";
    std::vector<T> v(c.length);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = pattern.empty() ? T{} : pattern[i % pattern.size()];
    return v;
}

// A simulated machine of `nodes` NUMA nodes.
struct FakeTopology {
    std::uint64_t nodes;
    std::optional<tfs::Topology> operator()() const {
        if (nodes <= 1) return std::nullopt;
        return tfs::Topology{nodes, std::vector<std::uint64_t>(nodes, 1)};
    }
};

[[noreturn]] void report(const FuzzCase& c, const std::string& generator, std::size_t n, const char* what) {
    std::fprintf(stderr,
                 "fuzz_sort MISMATCH: %s; type %s, %s, nodes %llu, length %zu, generator %s, seed %llu%s\n", what,
                 type_name(c.type), c.partitioned ? "partitioned driver" : "direct", (unsigned long long)c.nodes, n,
                 generator.c_str(), (unsigned long long)c.seed, c.float_from_keys ? ", floats from keys" : "");
    std::abort();
}

// Guard elements on each side of the sorted slice.
constexpr std::size_t kGuard = 64;

// Bit pattern of guard element i.
template <typename U>
U guard_bits(std::size_t i) {
    return static_cast<U>(0xA5C3E1F00F1E3C5Aull * (i + 1));
}

// Sorts a guarded copy of `input` with `sort` and checks it against the
// already sorted `reference`: guards, multiset fingerprint and every bit.
// `U` is the unsigned type of T's width; elements are compared as its bits.
template <typename T, typename U, typename Sort>
void check_sort(const FuzzCase& c, const std::string& generator, const std::vector<T>& input,
                const std::vector<T>& reference, Sort&& sort) {
    static_assert(sizeof(T) == sizeof(U));
    const std::size_t n = input.size();
    std::vector<T> storage(n + 2 * kGuard);
    for (std::size_t i = 0; i < kGuard; ++i) {
        storage[i] = std::bit_cast<T>(guard_bits<U>(i));
        storage[kGuard + n + i] = std::bit_cast<T>(guard_bits<U>(kGuard + i));
    }
    std::copy(input.begin(), input.end(), storage.begin() + kGuard);
    sort(std::span<T>(storage.data() + kGuard, n));

    for (std::size_t i = 0; i < kGuard; ++i) {
        if (std::bit_cast<U>(storage[i]) != guard_bits<U>(i) ||
            std::bit_cast<U>(storage[kGuard + n + i]) != guard_bits<U>(kGuard + i))
            report(c, generator, n, "a guard zone was overwritten");
    }
    std::vector<U> result_bits(n), reference_bits(n);
    if (n != 0) {
        std::memcpy(result_bits.data(), storage.data() + kGuard, n * sizeof(T));
        std::memcpy(reference_bits.data(), reference.data(), n * sizeof(T));
    }
    if (!(tt::fingerprint<U>(result_bits) == tt::fingerprint<U>(reference_bits)))
        report(c, generator, n, "multiset fingerprint differs");
    if (result_bits != reference_bits) report(c, generator, n, "differs from the reference sort");
}

template <typename T>
void run_integer(const FuzzCase& c) {
    std::string generator;
    const std::vector<T> input = make_input<T>(c, generator);
    const std::vector<T> reference = tt::sorted_reference<T>(input);
    if (c.partitioned) {
        check_sort<T, tfs::key_t<T>>(c, generator, input, reference, [&](std::span<T> s) {
            tfs::partitioned_sort(s, FakeTopology{c.nodes}, tfs::engine_sort<T>);
        });
    } else {
        check_sort<T, tfs::key_t<T>>(c, generator, input, reference, [](std::span<T> s) { tfs::engine_sort<T>(s); });
    }
}

// IEEE 754 totalOrder over bit patterns, by sign and magnitude: negative
// patterns first, larger magnitudes (and negative NaN payloads) earlier;
// positive patterns by magnitude.
template <typename U>
bool total_order_less(U a, U b) {
    constexpr unsigned top = std::numeric_limits<U>::digits - 1;
    const bool negative_a = (a >> top) != 0;
    const bool negative_b = (b >> top) != 0;
    if (negative_a != negative_b) return negative_a;
    return negative_a ? a > b : a < b;
}

template <typename F>
void run_float(const FuzzCase& c) {
    using U = tfs::float_key_t<F>;
    std::string generator;
    std::vector<U> patterns = make_input<U>(c, generator);
    if (c.float_from_keys) {
        // The generated structure (runs, few distinct, ...) lies in totalOrder.
        for (U& p : patterns) p = tfs::key_to_float(p);
    }
    std::vector<U> sorted_patterns = patterns;
    std::sort(sorted_patterns.begin(), sorted_patterns.end(), total_order_less<U>);
    std::vector<F> input(patterns.size()), reference(patterns.size());
    for (std::size_t i = 0; i < patterns.size(); ++i) {
        input[i] = std::bit_cast<F>(patterns[i]);
        reference[i] = std::bit_cast<F>(sorted_patterns[i]);
    }
    if (c.partitioned) {
        check_sort<F, U>(c, generator, input, reference, [&](std::span<F> s) {
            tfs::float_key_sort_with(
                s, [&](std::span<U> keys) { tfs::partitioned_sort(keys, FakeTopology{c.nodes}, tfs::engine_sort<U>); },
                [](std::size_t n, const auto& task) { tfs::pool::parallel_for(n, task); });
        });
    } else {
        check_sort<F, U>(c, generator, input, reference, [](std::span<F> s) { tfs::float_key_sort<F>(s); });
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const FuzzCase c = decode(data, size);
    switch (c.type) {
    case 0: run_integer<std::uint32_t>(c); break;
    case 1: run_integer<std::int32_t>(c); break;
    case 2: run_integer<std::uint64_t>(c); break;
    case 3: run_integer<std::int64_t>(c); break;
    case 4: run_float<float>(c); break;
    default: run_float<double>(c); break;
    }
    return 0;
}
