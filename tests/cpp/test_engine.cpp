// The engine units against std::sort over the one catalogue (every type and
// distribution, both sides of each tier bound and cut-off, every short
// sequence of edge values); worked examples of the decisions a sorted result
// cannot show (run choice, merge ties, fix-up diversion, digit layouts); each
// internal-failure message once.

#include <exception>
#include <latch>
#include <numeric>
#include <optional>
#include <thread>
#include <tuple>

#include "catalogue.hpp"
#include "engine/sorts/order_scan.hpp"
#include "engine/sorts/parallel_msd_sort.hpp"
#include "engine/sorts/parallel_split_sort.hpp"
#include "engine/sorts/recursive_radix_sort.hpp"
#include "engine/types/signed_integer.hpp"
#include "numa_sort/pool.hpp"
#include "numa_sort/simd_sort.hpp"

namespace {

using tfs::key_t;
using tfs::RadixParams;
namespace tt = tfs::testing;

template <typename T>
constexpr std::uint64_t kBits = tfs::Radixable<T>::bits;

// One way of running a unit on a whole slice of at least min_n elements.
template <typename T>
struct Unit {
    std::string name;
    std::function<void(std::span<T>)> run;
    std::size_t min_n = 0;
};

void pool_tasks(std::size_t n, const std::function<void(std::size_t)>& task) {
    tfs::pool::parallel_for(n, task);
}

// Every task on a thread of its own, all started together: more at once
// than the sort's workers, as a runner may run them.
void all_at_once(std::size_t n, const std::function<void(std::size_t)>& task) {
    std::latch start(static_cast<std::ptrdiff_t>(n));
    std::vector<std::exception_ptr> failures(n);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < n; ++i)
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            try {
                task(i);
            } catch (...) {
                failures[i] = std::current_exception();
            }
        });
    for (auto& thread : threads) thread.join();
    for (const auto& failure : failures)
        if (failure) std::rethrow_exception(failure);
}

template <typename T>
std::vector<Unit<T>> units() {
    constexpr std::uint64_t bits = kBits<T>;
    constexpr RadixParams full{0, 8, 0, bits / 8, 256};
    const auto engine = [](std::span<T> s) { tfs::engine_sort<T>(s); };
    const auto layout = [](std::span<T> s, std::uint64_t radix = 8) {
        const std::uint64_t b = s.empty() ? 0 : tfs::bit_length(tfs::max_key<T>(s));
        return RadixParams{0, radix, bits - b, (b + radix - 1) / radix, std::uint64_t{1} << radix};
    };
    std::vector<Unit<T>> out{
        {"engine_sort", engine},
        {"lsd_sort/full", [full](std::span<T> s) { tfs::lsd_sort<T>(s, full); }},
        {"msd_sort/full", [full](std::span<T> s) { tfs::msd_sort<T>(s, full); }},
        {"msd_sort/layout", [layout](std::span<T> s) { tfs::msd_sort<T>(s, layout(s)); }},
        {"dlsd_core/full9", [layout](std::span<T> s) { tfs::dlsd_core<T>(s, layout(s, 9), 1, tfs::DlsdMode::full); }},
        {"dlsd_fixup/one_group+std::sort", [](std::span<T> s) {
             for (const auto& r : tfs::dlsd_fixup<T>(s, 0)) std::sort(s.begin() + r.start, s.begin() + r.end);
         }},
        {"drop_merge_sort", [engine](std::span<T> s) {
             if (!tfs::drop_merge_sort<T>(s, engine)) engine(s);
         }, tfs::kDropMergeMinLength - 1},
    };
    for (std::uint64_t radix : {7u, 8u})  // as the signed sorts use it; one pass of 7 bits
        out.push_back({"dlsd_core/partial" + std::to_string(radix), [layout, radix](std::span<T> s) {
                           RadixParams p = layout(s, radix);
                           p.max_level = radix == 7 ? 1 : s.size() <= 65536 ? 2 : 3;
                           tfs::dlsd_core<T>(s, p, p.max_level, tfs::DlsdMode::partial);
                       }});
    for (auto [merge, workers] : {std::pair(true, 2u), std::pair(true, 5u), std::pair(false, 1u), std::pair(false, 3u)})
        out.push_back({std::string(merge ? "parallel_merge_sort/" : "parallel_msd_sort/") + std::to_string(workers),
                       [m = merge, w = workers, engine](std::span<T> s) {
                           std::vector<T> scratch(s.size());
                           if (m) tfs::parallel_merge_sort<T>(s, std::span<T>(scratch), w, engine, pool_tasks);
                           else tfs::parallel_msd_sort<T>(s, std::span<T>(scratch), w, engine, pool_tasks);
                       }, merge ? 0 : tfs::kParallelMsdMinLength - 1});
    out.push_back({"parallel_msd_sort/coarse/2", [engine](std::span<T> s) {
                       std::vector<T> scratch(s.size());
                       tfs::parallel_msd_sort<T>(s, std::span<T>(scratch), 2, engine, pool_tasks, tfs::PartitionShape::coarse);
                   }, tfs::kParallelMsdMinLength - 1});
    out.push_back({"parallel_msd_sort/all_at_once/2", [engine](std::span<T> s) {
                       std::vector<T> scratch(s.size());
                       tfs::parallel_msd_sort<T>(s, std::span<T>(scratch), 2, engine, all_at_once);
                   }, tfs::kParallelMsdMinLength - 1});
    // The quicksort split, with the SIMD partition step and a scalar one, and
    // as the partition's way out for keys that no digit splits well.
    const auto simd_split = [](std::span<T> s, T pivot) { return tfs::general::simd_split(s, pivot); };
    const auto scalar_split = [](std::span<T> s, T pivot) {
        return static_cast<std::size_t>(std::partition(s.begin(), s.end(), [pivot](T k) { return k < pivot; }) - s.begin());
    };
    for (std::size_t workers : {2u, 3u})
        out.push_back({"parallel_split_sort/" + std::to_string(workers), [engine, simd_split, workers](std::span<T> s) {
                           tfs::parallel_split_sort<T>(s, workers, engine, simd_split, pool_tasks);
                       }, tfs::kParallelSplitMinLength - 1});
    out.push_back({"parallel_split_sort/scalar/4", [engine, scalar_split](std::span<T> s) {
                       tfs::parallel_split_sort<T>(s, 4, engine, scalar_split, pool_tasks);
                   }, tfs::kParallelSplitMinLength - 1});
    for (auto shape : {tfs::PartitionShape::fine, tfs::PartitionShape::pivots})
        out.push_back({shape == tfs::PartitionShape::fine ? "parallel_msd_sort/split/2" : "parallel_msd_sort/pivots/2",
                       [engine, simd_split, shape](std::span<T> s) {
                           std::vector<T> scratch(s.size());
                           tfs::parallel_msd_sort<T>(s, std::span<T>(scratch), 2, engine, pool_tasks, shape,
                                                     [&](std::span<T> w) {
                                                         tfs::parallel_split_sort<T>(w, 2, engine, simd_split, pool_tasks);
                                                     });
                       }, tfs::kParallelMsdMinLength - 1});
    if constexpr (!std::is_signed_v<T>) {
        out.push_back({"dlsd_sort", [](std::span<T> s) { tfs::dlsd_sort<T>(s, 8); }});
        out.push_back({"dlsd_stretch_sorter", [](std::span<T> s) { tfs::dlsd_stretch_sorter(s, 8); }});
    }
    if constexpr (bits == 32) {
        // Counting sort where its precondition holds (keys of at most 16 bits).
        for (bool wide : {false, true})
            out.push_back({wide ? "counting_pass/wide" : "counting_sort", [wide](std::span<T> s) {
                               const std::uint64_t b = s.empty() ? 0 : tfs::bit_length(tfs::max_key<T>(s));
                               if (b > 16) return std::sort(s.begin(), s.end());
                               if (wide) return tfs::detail::counting_pass<T, std::uint64_t>(s, b <= 8 ? 8 : 16);
                               tfs::counting_sort<T>(s, b <= 8 ? 8 : 16);
                           }});
        const std::uint64_t c16 = std::is_signed_v<T> ? tfs::kI32Counting16MinLength : tfs::kU32Counting16MinLength;
        out.push_back({"lsd_stretch_sorter", [c16](std::span<T> s) { tfs::lsd_stretch_sorter(s, 8, c16); }});
    } else {
        out.push_back({"recursive_radix_sort_level", [layout](std::span<T> s) { tfs::recursive_radix_sort_level<T>(s, layout(s)); }});
        out.push_back({"recursive_radix_sort_level/full", [full](std::span<T> s) { tfs::recursive_radix_sort_level<T>(s, full); }});
    }
    if constexpr (!std::is_same_v<T, std::uint32_t>) {
        // One permutation by the top digit: every element in its bucket, which
        // std::sort then finishes.
        out.push_back({"ska_permute+std::sort", [layout](std::span<T> s) {
                           if (s.empty()) return;
                           const auto ms = tfs::msd_mask_and_shift<T>(layout(s));
                           auto ps = tfs::prefix_sums(tfs::digit_histogram<T>(s, 256, ms.mask, ms.shift));
                           tfs::ska_permute<T>(s, ps.heads, ps.tails, ms.mask, ms.shift);
                           for (std::uint64_t b = 0; b < 256; ++b) {
                               for (auto i = ps.sums[b]; i < ps.sums[b + 1]; ++i)
                                   ASSERT_EQ((tfs::radix_key(s[i]) & ms.mask) >> ms.shift, b);
                               std::sort(s.begin() + ps.sums[b], s.begin() + ps.sums[b + 1]);
                           }
                       }});
    }
    if constexpr (std::is_signed_v<T>) {
        const auto c16 = bits == 32 ? std::optional<std::uint64_t>(tfs::kI32Counting16MinLength) : std::nullopt;
        out.push_back({"rollercoaster_stretch_sorter", [c16](std::span<T> s) { tfs::rollercoaster_stretch_sorter(s, 8, c16); }});
        for (std::uint64_t depth : {0u, 2u})
            out.push_back({"rollercoaster_sort_level/depth" + std::to_string(depth), [depth, layout](std::span<T> s) {
                               if (const RadixParams p = layout(s); p.max_level > 0) tfs::rollercoaster_sort_level<T>(s, p, depth, false);
                           }});
    }
    return out;
}

// Both sides of every tier bound and cut-off: engine tiers (200, 350, 900,
// 7001), stretch comparison (128), DLSD (129, 251, 3001 and each change of
// its radix choice), MSD and recursive (129, 30000), rollercoaster (256,
// 65536, 128001), counting tables (85000, 100000), parallel units (4096, 65536).
std::vector<std::size_t> sizes(bool large) {
    if (large) return {65535, 65536, 65537, 84999, 85000, 99999, 100000, 127999, 128000, 128001};
    std::vector<std::size_t> n = {0,   1,   2,   3,   5,    8,    9,    16,   33,   64,   127,  128,  129,
                                  130, 199, 200, 201, 250,  251,  255,  256,  257,  349,  350,  351,  899,
                                  900, 901, 1000, 3000, 3001, 4095, 4096, 6999, 7000, 7001, 7002, 30000, 30001};
    for (std::uint64_t b = 3; b <= 40000; ++b) {
        const auto x = tfs::dlsd_choose_radix(b - 1), y = tfs::dlsd_choose_radix(b);
        if (x.radix != y.radix || x.passes != y.passes) n.insert(n.end(), {b - 1, b});
    }
    std::sort(n.begin(), n.end());
    n.erase(std::unique(n.begin(), n.end()), n.end());
    return n;
}

// Every unit on a guarded copy of `input` against std::sort.
template <typename T>
bool check_units(const std::vector<Unit<T>>& all, const std::vector<T>& input, const std::string& what) {
    const std::vector<T> reference = tt::sorted_reference<T>(input);
    for (const auto& u : all) {
        if (input.size() < u.min_n) continue;
        tt::GuardedBuffer<T> buf(input);
        u.run(buf.slice());
        if (!tt::expect_equals_reference<T>(buf, reference, u.name + " on " + what)) return false;
    }
    return true;
}

template <typename T>
void sweep(const std::vector<std::size_t>& lengths, const std::vector<std::string>& only) {
    const auto all = units<T>();
    for (const auto& c : tt::catalogue<T>()) {
        if (!only.empty() && std::find(only.begin(), only.end(), c.name) == only.end()) continue;
        for (std::size_t n : lengths) {
            if (!check_units<T>(all, c.make(n, n * 31 + 7), c.name + ", n = " + std::to_string(n))) return;
            if (tt::kSanitized && n > 7002) break;
        }
    }
}

template <typename T>
class EngineUnits : public ::testing::Test {};
using KeyTypes = ::testing::Types<std::uint32_t, std::int32_t, std::uint64_t, std::int64_t>;
TYPED_TEST_SUITE(EngineUnits, KeyTypes);

TYPED_TEST(EngineUnits, CatalogueAtEveryTierBound) {
    sweep<TypeParam>(sizes(false), {});
    const auto all = units<TypeParam>();  // and every short sequence of edge values
    tt::for_each_sequence<TypeParam>(tt::edge_alphabet<TypeParam>(), 6, [&](const std::vector<TypeParam>& input) {
        ASSERT_TRUE(check_units<TypeParam>(all, input, "edge values"));
    });
}

// The distributions that tell the large tiers apart; all of them on request.
TYPED_TEST(EngineUnits, CatalogueAboveTheLargeTierBounds) {
    const std::vector<std::string> few{"uniform", "reversed", "lowest_65536_values", "mixed_signs", "two_sorted_halves",
                                       "dominant_bucket_every_level"};
    sweep<TypeParam>(sizes(true), tt::large_tests_enabled() ? std::vector<std::string>{} : few);
    // 55% of the keys one value: the parallel partition splits its bucket
    // again until it holds nothing else.
    std::vector<TypeParam> heavy = tt::catalogue_case<TypeParam>("uniform").make((1 << 20) + 1, 5);
    std::mt19937_64 rng(9);  // not periodic: the partition samples at even strides
    for (auto& e : heavy)
        if (rng() % 20 < 11) e = heavy[0];
    auto all = units<TypeParam>();
    std::erase_if(all, [](const auto& u) { return u.name != "parallel_msd_sort/3"; });
    check_units<TypeParam>(all, heavy, "a heavy value");
    // Keys from about -2^18 to 7 * 2^18: for unsigned types a range that
    // wraps around the top and spans one digit cell more than the digit has.
    // Then, between sampled positions, a few keys from anywhere: the range
    // widens to the whole key space after the sample chose where to cut it.
    auto wrapping = tt::catalogue_case<TypeParam>("mixed_signs").make((1 << 21) + 3, 3);  // copied back past the cache
    for (auto& e : wrapping) e = static_cast<TypeParam>(e + (3 << 18) + 12345);
    check_units<TypeParam>(all, wrapping, "keys around zero");
    for (std::size_t i = 0; i < 40; ++i) wrapping[i * 50001 + 3] = static_cast<TypeParam>(rng() >> (rng() % 64));
    check_units<TypeParam>(all, wrapping, "keys around zero and a few anywhere");
}

// The partition's copy back past the cache, at every alignment of the
// destination within a cache line: the keys arrive, nothing around them moves.
TYPED_TEST(EngineUnits, StreamCopyAtEveryAlignment) {
    using T = TypeParam;
    constexpr T kUntouched = T(0x5A);
    std::vector<T> from(260);
    std::iota(from.begin(), from.end(), T(1));
    for (std::size_t offset = 0; offset < 64 / sizeof(T); ++offset)
        for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 63u, 64u, 65u, 200u}) {
            std::vector<T> to(300, kUntouched);
            tfs::detail::stream_copy(from.data(), to.data() + offset, n);
            for (std::size_t i = 0; i < to.size(); ++i) {
                const bool inside = i >= offset && i < offset + n;
                ASSERT_EQ(to[i], inside ? from[i - offset] : kUntouched) << "offset " << offset << ", n " << n << ", at " << i;
            }
        }
}

// The write-combining scatter, both line stores, at every alignment of the
// destination within a line pair: buckets empty, shorter than a line,
// filling lines exactly or not, and one taking everything. It places every element
// as the plain scatter does and writes nothing around the destination.
TYPED_TEST(EngineUnits, CombiningScatterAtEveryAlignment) {
    using T = TypeParam;
    constexpr std::size_t kLine = 64 / sizeof(T), kBlock = 2 * kLine;  // streamed buckets gather two lines
    constexpr T kUntouched = T(0x5A);
    const std::vector<std::array<std::size_t, 4>> layouts{
        {0, 1, kLine - 1, 2}, {kLine, kBlock, 0, kLine}, {kBlock + 1, 3, 5 * kLine - 1, kBlock - 1}, {0, 0, 0, 6 * kLine + 3}};
    std::mt19937_64 rng(3);
    for (const auto& sizes : layouts) {
        std::vector<T> src;  // key = 4 * rank + bucket, shuffled: stability shows
        for (std::size_t b = 0; b < 4; ++b)
            for (std::size_t i = 0; i < sizes[b]; ++i) src.push_back(static_cast<T>(4 * src.size() + b));
        std::shuffle(src.begin(), src.end(), rng);
        const std::size_t n = src.size();
        const auto hist = tfs::digit_histogram<T>(src, 4, 3, 0);
        std::vector<std::uint64_t> heads(4), expected_heads(4), ends(4);
        tfs::bucket_heads(hist, expected_heads);
        std::vector<T> expected(n);
        tfs::scatter_by_digit<T>(src, expected, expected_heads, 3, 0);
        const tfs::CombiningLines lines(4);
        for (std::size_t offset = 0; offset < kBlock; ++offset)
            for (bool stream : {false, true}) {
                std::vector<T> out(n + 4 * kBlock, kUntouched);
                const std::size_t to_line = (128 - reinterpret_cast<std::uintptr_t>(out.data()) % 128) % 128 / sizeof(T);
                const std::span<T> dst(out.data() + to_line + offset, n);
                tfs::bucket_heads(hist, heads);
                std::copy(heads.begin() + 1, heads.end(), ends.begin());
                ends[3] = n;
                const auto bucket = [](key_t<T> k) { return k & 3; };
                stream ? tfs::combining_scatter_by<T, true>(src, dst, heads, ends, lines, bucket)
                       : tfs::combining_scatter_by<T, false>(src, dst, heads, ends, lines, bucket);
                const std::string where = "n " + std::to_string(n) + ", offset " + std::to_string(offset) +
                                          (stream ? ", streamed" : "");
                ASSERT_TRUE(std::equal(dst.begin(), dst.end(), expected.begin())) << where;
                ASSERT_EQ(heads, ends) << where;
                const std::size_t before = to_line + offset;
                ASSERT_TRUE(std::all_of(out.begin(), out.begin() + before, [](T v) { return v == kUntouched; }) &&
                            std::all_of(out.begin() + before + n, out.end(), [](T v) { return v == kUntouched; }))
                    << where;
            }
    }
}

// The register kernel at every length it takes: its masked stores write
// nothing past the piece. Off under TARVO_FASTSORT_SIMD=baseline.
TYPED_TEST(EngineUnits, RegisterInsertionSortAtEveryLength) {
    using T = TypeParam;
    if (!tfs::avx512_enabled()) GTEST_SKIP() << "AVX-512 kernels off";
    for (const auto& c : tt::catalogue<T>())
        for (std::size_t n = 0; n <= tfs::kRegisterSortMaxElements<T>; ++n) {
            const auto input = c.make(n, n + 1);
            tt::GuardedBuffer<T> buf(input);
            tfs::register_insertion_sort(buf.slice().data(), n);
            ASSERT_TRUE(tt::expect_sorted_like_reference<T>(buf, std::span<const T>(input), c.name));
        }
}

// The order scans find the first break at every position of short slices,
// past the vector steps and the scalar tail, each way of scanning that this
// CPU runs. Words are keys spread over the whole range (so they cross the
// sign bit) written through the inverse map: a scan that read them through
// the wrong map would break at the crossing.
template <typename U, tfs::KeyMap M, tfs::Direction D>
std::vector<std::size_t (*)(const U*, std::size_t, std::size_t)> order_scans() {
    std::vector<std::size_t (*)(const U*, std::size_t, std::size_t)> scans{tfs::detail::first_break_baseline<M, D, U>};
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) scans.push_back(tfs::detail::first_break_avx2<M, D, U>);
    if (__builtin_cpu_supports("avx512f")) scans.push_back(tfs::detail::first_break_avx512<M, D, U>);
#endif
    return scans;
}

template <typename U, tfs::KeyMap M>
void expect_every_break() {
    constexpr U top = U(1) << (8 * sizeof(U) - 1);
    const auto word_of = [](U key) -> U {
        if constexpr (M == tfs::KeyMap::sign_flip) return key ^ top;
        if constexpr (M == tfs::KeyMap::float_total) return (key & top) ? U(key ^ top) : U(~key);
        return key;
    };
    const auto rising_scans = order_scans<U, M, tfs::Direction::ascending>();
    const auto falling_scans = order_scans<U, M, tfs::Direction::descending>();
    for (std::size_t k = 0; k < rising_scans.size(); ++k) {
        const auto up_scan = rising_scans[k], down_scan = falling_scans[k];
        for (std::size_t n = 1; n <= 80; ++n) {
            std::vector<U> rising(n);
            for (std::size_t i = 0; i < n; ++i) rising[i] = word_of(U(std::numeric_limits<U>::max() / n * i));
            ASSERT_EQ(up_scan(rising.data(), 1, n), n) << k;
            std::vector<U> falling(rising.rbegin(), rising.rend());
            ASSERT_EQ(down_scan(falling.data(), 1, n), n) << k;
            for (std::size_t p = 1; p < n; ++p) {
                std::vector<U> up = rising, down = falling;
                std::swap(up[p - 1], up[p]);
                std::swap(down[p - 1], down[p]);
                ASSERT_EQ(up_scan(up.data(), 1, n), p) << n << " " << k;
                ASSERT_EQ(down_scan(down.data(), 1, n), p) << n << " " << k;
                ASSERT_EQ(up_scan(up.data(), p + 1, n), n) << n << " " << k;
            }
        }
    }
}

TEST(OrderScan, EveryBreakUnderEveryKeyMap) {
    expect_every_break<std::uint32_t, tfs::KeyMap::plain>();
    expect_every_break<std::uint32_t, tfs::KeyMap::sign_flip>();
    expect_every_break<std::uint32_t, tfs::KeyMap::float_total>();
    expect_every_break<std::uint64_t, tfs::KeyMap::plain>();
    expect_every_break<std::uint64_t, tfs::KeyMap::sign_flip>();
    expect_every_break<std::uint64_t, tfs::KeyMap::float_total>();
}

// i32 on both sides of the rollercoaster tier (2,000,000) and at 10^7: opt-in.
TEST(EngineUnitsLarge, RollercoasterTierAndTenMillion) {
    if (!tt::large_tests_enabled()) GTEST_SKIP() << "set TFS_LARGE_TESTS=1";
    for (std::size_t n : {1999999u, 2000000u, 10000000u})
        for (const char* name : {"uniform", "mixed_signs", "two_sorted_halves", "few_distinct"})
            ASSERT_TRUE(check_units<std::int32_t>({units<std::int32_t>()[0]}, tt::catalogue_case<std::int32_t>(name).make(n, n), name));
}

// ---- worked examples -------------------------------------------------------

// An element whose order ignores its tag: shows the merge's tie rule.
struct Tagged {
    int key, tag;
    bool operator<(const Tagged& o) const { return key < o.key; }
    bool operator==(const Tagged&) const = default;
};

TEST(MergeExamples, TiesKeepLeftBeforeRightAtEveryLevel) {
    // Blocks of tagged keys; left shorter, equal or longer (front and back merge).
    std::mt19937 rng(5);
    for (int round = 0; round < 12; ++round) {
        std::vector<Tagged> v;
        std::vector<std::uint64_t> b{0};
        const int blocks = round < 6 ? 2 : 9;
        for (int block = 0; block < blocks; ++block) {
            std::vector<Tagged> part(1 + rng() % (round < 6 ? 6 : 40));
            for (auto& e : part) e = {static_cast<int>(rng() % 5), block};
            std::sort(part.begin(), part.end());
            v.insert(v.end(), part.begin(), part.end());
            b.push_back(v.size());
        }
        auto expected = v;
        std::stable_sort(expected.begin(), expected.end());
        tfs::k_way_merge(std::span<Tagged>(v), b);
        if (blocks == 2) {
            std::vector<Tagged> buffer(v.size());
            tfs::merge_adjacent_blocks(std::span<Tagged>(v), buffer.data(), buffer.size(), 0, b[1], b[2]);
        }
        EXPECT_EQ(v, expected) << "round " << round;
    }
    std::vector<std::int32_t> w{-1, 4, 9, -7, -1, 0, 3};
    std::vector<std::uint64_t> two{0, 3, 7};
    tfs::k_way_merge(std::span<std::int32_t>(w), two);  // two blocks: the bounds stay
    EXPECT_EQ(w, (std::vector<std::int32_t>{-7, -1, -1, 0, 3, 4, 9}));
    EXPECT_EQ(two, (std::vector<std::uint64_t>{0, 3, 7}));
}

// The pre-pass with a stretch sorter that records its calls (start, length).
using Calls = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
using Bounds = std::vector<std::uint64_t>;
template <typename T>
std::pair<Bounds, Calls> prepass(std::vector<T>& v) {
    Calls calls;
    Bounds bounds = tfs::verge_sort_heuristic(std::span<T>(v), 8, [&](std::span<T> s, std::uint64_t) {
        calls.push_back({static_cast<std::uint64_t>(s.data() - v.data()), s.size()});
        std::sort(s.begin(), s.end());
    });
    return {bounds, calls};
}

TEST(PrepassExamples, RunsKeptReversedAndHandedOn) {
    EXPECT_EQ(tfs::min_run_length(200), 26u);
    EXPECT_EQ(tfs::min_run_length(1000), 100u);
    EXPECT_EQ(tfs::min_run_length(100000), 6020u);
    // n = 1000, min_run_length 100: a run of exactly 100 is kept, 99 is not.
    for (std::uint32_t start : {40u, 41u}) {
        std::vector<std::uint32_t> v(1000);
        for (std::uint32_t i = 0; i < 1000; ++i) v[i] = i * 7919 % 1000;
        v[start - 1] = 5000;
        for (std::uint32_t i = start; i < 140; ++i) v[i] = 2000 + i;
        EXPECT_EQ(prepass(v), start == 40 ? std::pair(Bounds{0, 40, 140, 1000}, Calls{{0, 40}, {140, 860}})
                                          : std::pair(Bounds{0, 1000}, Calls{{0, 1000}}));
    }
    // A strict peak, 100 rising before the probe and 900 falling from it:
    // the rising side is taken.
    std::vector<std::uint32_t> peak(1000, 7);
    for (std::uint32_t i = 0; i < 600; ++i) peak[i] = i <= 100 ? 1000 + i : 1200 - i;
    EXPECT_EQ(prepass(peak), std::pair(Bounds{0, 100, 1000}, Calls{{100, 900}}));
    // A falling slice with plateaus is reversed as one block.
    std::vector<std::int32_t> falling;
    for (int x = 900; x > -900; x -= 7) falling.insert(falling.end(), static_cast<std::size_t>(1 + (x & 3)), x);
    EXPECT_EQ(prepass(falling), std::pair(Bounds{0, falling.size()}, Calls{}));
    EXPECT_TRUE(std::is_sorted(falling.begin(), falling.end()));
    // Two sorted halves out of order at the junction: two blocks.
    std::vector<std::int32_t> halves(1001);
    for (std::int32_t i = 0; i < 1001; ++i) halves[i] = i + (i < 500 ? 1000000 : -1000000);
    EXPECT_EQ(prepass(halves), std::pair(Bounds{0, 500, 1001}, Calls{}));
}

TEST(RollercoasterExamples, PiecesAndPresortedBuckets) {
    using tfs::PieceOrder;
    auto order = [](std::vector<int> v) { return tfs::examine_piece<int>(std::span<const int>(v)); };
    EXPECT_EQ(order({1, 2, 3}), PieceOrder::ascending);
    EXPECT_EQ(order({5, 5, 3}), PieceOrder::descending);
    EXPECT_EQ(order({5, 5, 5}), PieceOrder::ascending);
    EXPECT_EQ(order({1, 2, 3, 0}), PieceOrder::unsorted);
    EXPECT_EQ(order({3, 2, 1, 4}), PieceOrder::unsorted);
    // Top-level buckets each ascending, descending, descending with ties, or
    // ascending but for the last element: the examined buckets end sorted.
    for (int variant = 0; variant < 4; ++variant) {
        std::vector<std::int64_t> v;
        for (std::int64_t bucket = -4; bucket < 4; ++bucket) {
            std::vector<std::int64_t> piece(3000);
            for (std::size_t i = 0; i < piece.size(); ++i) piece[i] = (bucket << 56) + std::int64_t(i / (variant == 2 ? 3 : 1));
            if (variant == 1 || variant == 2) std::reverse(piece.begin(), piece.end());
            if (variant == 3) piece.back() = bucket << 56;
            v.insert(v.end(), piece.begin(), piece.end());
        }
        EXPECT_TRUE(check_units<std::int64_t>(units<std::int64_t>(), v, "presorted buckets"));
    }
}

// One reversed group (top byte 0x42) of 65 elements is sorted by insertion,
// one of 66 diverted; the 33rd out-of-order element of group 2 at position 82
// with 31 more in the group is finished by insertion, with 32 diverted.
TYPED_TEST(EngineUnits, FixupDivertsLateReversedGroups) {
    using T = TypeParam;
    using K = key_t<T>;
    const K top = K(K(0xFF) << (kBits<T> - 8));
    const auto key = [](unsigned g, unsigned low) { return tfs::from_radix_key<T>(K((K(g) << (kBits<T> - 8)) | low)); };
    for (unsigned n : {65u, 66u}) {
        std::vector<T> v;
        for (unsigned j = n; j-- > 0;) v.push_back(key(0x42, j));
        const auto ranges = tfs::dlsd_fixup<T>(v, top);
        ASSERT_EQ(ranges.size(), n == 65 ? 0u : 1u);
        EXPECT_TRUE(n == 65 ? std::is_sorted(v.begin(), v.end()) : ranges[0].start == 0 && ranges[0].end == 66);
    }
    for (unsigned tail : {31u, 32u}) {
        std::vector<T> v;
        for (unsigned j = 0; j < 10; ++j) v.push_back(key(1, j));
        for (unsigned j = 0; j < 40; ++j) v.push_back(key(2, 1000 + j));
        for (unsigned j = 33; j-- > 0;) v.push_back(key(2, j));
        for (unsigned j = 0; j < tail; ++j) v.push_back(key(2, 500 - j));
        const auto ranges = tfs::dlsd_fixup<T>(v, top);
        ASSERT_EQ(ranges.size(), tail == 31 ? 0u : 1u);
        EXPECT_TRUE(tail == 31 ? std::is_sorted(v.begin(), v.end()) : ranges[0].start == 10 && ranges[0].end == 115);
    }
}

TEST(RadixExamples, LayoutsMasksAndRadixChoice) {
    const auto d = tfs::digit_layout<std::uint32_t>(0x1234, 8), a = tfs::aligned_digit_layout<std::uint32_t>(0x1234, 8);
    EXPECT_EQ(d.offset * 100 + d.max_level, 1902u);
    EXPECT_EQ(a.offset * 100 + a.max_level, 1602u);
    EXPECT_EQ(tfs::aligned_digit_layout<std::uint32_t>(0x80000000u, 7).max_level, 5u);
    const auto fourth = tfs::msd_mask_and_shift<std::uint32_t>(RadixParams{3, 7, 0, 5, 128});
    EXPECT_EQ(std::pair(fourth.mask, fourth.shift), std::pair(0x7Fu << 4, 4u));
    EXPECT_EQ(tfs::msd_mask_and_shift<std::uint32_t>(RadixParams{4, 7, 0, 5, 128}).mask, 0xFu);  // clipped
    const auto second = tfs::lsd_mask_and_shift<std::uint64_t>(RadixParams{6, 8, 0, 8, 256});
    EXPECT_EQ(std::pair(second.mask, second.shift), std::pair(std::uint64_t{0xFF00}, 8u));
    EXPECT_EQ(tfs::radix_key<std::int32_t>(-1), 0x7FFFFFFFu);
    EXPECT_EQ(tfs::radix_key<std::int64_t>(0), std::uint64_t{1} << 63);
    for (auto [n, radix, passes] : std::initializer_list<std::tuple<unsigned, unsigned, unsigned>>{
             {200, 8, 1}, {1000, 7, 2}, {65536, 9, 2}, {100000, 8, 3}})
        EXPECT_EQ(tfs::dlsd_choose_radix(n).radix * 10 + tfs::dlsd_choose_radix(n).passes, radix * 10 + passes) << n;
}

TEST(EngineFailures, EachGuardWithItsMessage) {
    const std::vector<std::uint64_t> sevens(10, 7);
    std::vector<std::uint32_t> ones(10, 1), shorter(9), w(300), buf2(2);
    std::iota(w.rbegin(), w.rend(), 0u);
    std::vector<std::uint64_t> h256(256), heads4(4), tails3(3);
    std::vector<std::int64_t> e(3), v200(200, 5);
    std::vector<std::uint32_t> blocks{5, 6, 7, 1, 2, 3};
    const std::vector<std::pair<std::function<void()>, std::string>> table{
        {[] { tfs::lsd_mask_and_shift<std::uint32_t>(RadixParams{2, 8, 0, 2, 256}); },
         "assertion failed: p.level < p.max_level"},
        {[&] { tfs::partial_histograms<std::uint64_t>(sevens, RadixParams{0, 8, 0, 6, 256}, 6); },
         "[Partial histogram] Array size can't be that huge !"},
        {[] { tfs::digit_layout<std::uint32_t>(5, 0); }, "attempt to divide by zero"},
        {[&] { tfs::dlsd_core<std::uint32_t>(w, RadixParams{0, 8, 40, 1, 256}, 1, tfs::DlsdMode::partial); },
         "assertion failed: bits >= offset"},
        {[&] { tfs::counting_sort<std::uint32_t>(ones, 12); }, "counting sort key width must be 8 or 16"},
        {[&] { tfs::digit_histogram<std::uint32_t>(ones, 128, 0xFF, 0); }, "digit exceeds the bucket count"},
        {[&] { tfs::ska_permute<std::int64_t>(e, heads4, tails3, 0, 0); }, "bucket heads and tails differ in count"},
        {[&] { tfs::scatter_by_digit<std::uint32_t>(ones, shorter, h256, 0xFF, 0); },
         "scatter destination differs in length from its source"},
        {[&] { tfs::merge_adjacent_blocks(std::span<std::uint32_t>(blocks), buf2.data(), 2, 0, 3, 6); },
         "[K-way merge] Buffer too small."},
        {[&] { tfs::merge_adjacent_blocks(std::span<std::uint32_t>(blocks), buf2.data(), 8, 0, 3, 7); },
         "[K-way merge] Block outside the slice."},
        {[] { tfs::choose_run({tfs::RunShape::Edge, 0, 0}, {tfs::RunShape::Edge, 1, 1}, 1); },
         "[Verge sort heuristic] Bad implementation."},
        {[&] { tfs::rollercoaster_stretch_sorter(std::span<std::int64_t>(v200), 8, std::optional<std::uint64_t>(1)); },
         "counting sort serves 32-bit keys only"},
    };
    for (const auto& [call, message] : table) EXPECT_EQ(tt::failure_message(call), message);
}

}  // namespace
