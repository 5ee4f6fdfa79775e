// The process-wide worker pool: its size rule, that every task runs exactly
// once, failure propagation, concurrent jobs, and use after fork.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "engine/failure.hpp"
#include "numa_sort/pool.hpp"

namespace {

using tfs::pool::kMaxThreads;
using tfs::pool::parallel_for;
using tfs::pool::thread_count_from_env;

// Counts how often each index ran; every count must be exactly one.
void expect_each_index_once(std::size_t n) {
    const std::unique_ptr<std::atomic<int>[]> runs(new std::atomic<int>[n + 1]());
    parallel_for(n, [&](std::size_t i) { runs[i].fetch_add(1, std::memory_order_relaxed); });
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(runs[i].load(), 1) << "index " << i << " of " << n;
    EXPECT_EQ(runs[n].load(), 0) << "index past the end ran, n = " << n;
}

TEST(PoolSize, NumThreadsWhenPositive) {
    EXPECT_EQ(thread_count_from_env("1", nullptr, 8), 1u);
    EXPECT_EQ(thread_count_from_env("3", "5", 8), 3u);
    EXPECT_EQ(thread_count_from_env("+3", nullptr, 8), 3u);
    EXPECT_EQ(thread_count_from_env("0003", nullptr, 8), 3u);
    EXPECT_EQ(thread_count_from_env("65535", nullptr, 8), 65535u);
}

TEST(PoolSize, ZeroMeansTheDefaultWithoutFallback) {
    EXPECT_EQ(thread_count_from_env("0", nullptr, 8), 8u);
    EXPECT_EQ(thread_count_from_env("0", "5", 8), 8u);
}

TEST(PoolSize, UnsetOrNotANumberFallsBackToRsNumCpus) {
    EXPECT_EQ(thread_count_from_env(nullptr, nullptr, 8), 8u);
    EXPECT_EQ(thread_count_from_env(nullptr, "5", 8), 5u);
    for (const char* junk : {"", "x", " 3", "3 ", "3x", "-3", "+", "++3", "3.0", "0x10",
                             "99999999999999999999999"}) {
        EXPECT_EQ(thread_count_from_env(junk, nullptr, 8), 8u) << '"' << junk << '"';
        EXPECT_EQ(thread_count_from_env(junk, "5", 8), 5u) << '"' << junk << '"';
    }
}

TEST(PoolSize, RsNumCpusOnlyWhenPositiveNumber) {
    for (const char* junk : {"0", "", "x", " 5", "5x", "-5"})
        EXPECT_EQ(thread_count_from_env(nullptr, junk, 8), 8u) << '"' << junk << '"';
}

TEST(PoolSize, CappedAt65535) {
    EXPECT_EQ(thread_count_from_env("65536", nullptr, 8), kMaxThreads);
    EXPECT_EQ(thread_count_from_env("18446744073709551615", nullptr, 8), kMaxThreads);
    EXPECT_EQ(thread_count_from_env(nullptr, "1000000", 8), kMaxThreads);
    EXPECT_EQ(thread_count_from_env(nullptr, nullptr, 100000), kMaxThreads);
}

TEST(PoolSize, DefaultAndPoolCountsArePositive) {
    EXPECT_GE(tfs::pool::default_thread_count(), 1u);
    EXPECT_GE(tfs::pool::thread_count(), 1u);
    EXPECT_LE(tfs::pool::thread_count(), kMaxThreads);
}

// Sizes the pool from the environment, runs one job of sleeping tasks and
// exits 0 when the pool has the expected size, never ran more tasks at once
// than it has threads, and ran every task.
[[noreturn]] void run_pool_sized_by(const char* num_threads, const char* rs_num_cpus,
                                    std::size_t expected) {
    ::setenv("RAYON_NUM_THREADS", num_threads, 1);
    ::setenv("RAYON_RS_NUM_CPUS", rs_num_cpus, 1);
    std::atomic<std::size_t> sum{0}, running{0}, peak{0};
    parallel_for(1000, [&](std::size_t i) {
        const std::size_t now = ++running;
        for (std::size_t seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        sum += i;
        --running;
    });
    const bool ok = tfs::pool::thread_count() == expected && sum == 499500 && peak <= expected;
    std::_Exit(ok ? 0 : 1);
}

// The environment is read when the pool is first used, so these run in a
// fresh copy of the test program. Nothing may reach stderr, also for a pool
// larger than the machine.
TEST(PoolSizeDeathTest, EnvironmentSizesAFreshPoolSilently) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(run_pool_sized_by("1", "", 1), ::testing::ExitedWithCode(0), "^$");
    EXPECT_EXIT(run_pool_sized_by("3", "", 3), ::testing::ExitedWithCode(0), "^$");
    EXPECT_EXIT(run_pool_sized_by("64", "", 64), ::testing::ExitedWithCode(0), "^$");
    EXPECT_EXIT(run_pool_sized_by("x", "5", 5), ::testing::ExitedWithCode(0), "^$");
}

TEST(PoolRun, EveryIndexExactlyOnce) {
    for (std::size_t n : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 8u, 17u, 64u, 100u, 1000u, 4097u, 100003u})
        expect_each_index_once(n);
}

TEST(PoolRun, AllTasksFinishBeforeReturn) {
    std::vector<int> written(257, 0);
    parallel_for(written.size(), [&](std::size_t i) {
        if (i % 16 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        written[i] = static_cast<int>(i) + 1;
    });
    for (std::size_t i = 0; i < written.size(); ++i) ASSERT_EQ(written[i], static_cast<int>(i) + 1);
}

TEST(PoolRun, NestedJobsComplete) {
    std::atomic<std::size_t> runs{0};
    parallel_for(4, [&](std::size_t) { parallel_for(50, [&](std::size_t) { ++runs; }); });
    EXPECT_EQ(runs.load(), 200u);
}

struct CustomError {
    int code;
};

// Tasks that stay busy for a while, with one of them failing: the failure
// arrives only once no task is running any more.
template <typename Thrower>
void run_failing_job(std::size_t n, std::size_t failing, Thrower thrower,
                     std::atomic<int>& running, std::atomic<int>& ran) {
    parallel_for(n, [&](std::size_t i) {
        ++running;
        struct Leave {
            std::atomic<int>& running;
            ~Leave() { --running; }
        } leave{running};
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        ++ran;
        if (i == failing) thrower(i);
    });
}

TEST(PoolFailure, ExceptionTypeAndMessageArrive) {
    for (std::size_t failing : {0u, 5u, 63u}) {
        std::atomic<int> running{0}, ran{0};
        try {
            run_failing_job(
                64, failing, [](std::size_t i) { throw std::out_of_range("task " + std::to_string(i)); },
                running, ran);
            FAIL() << "no exception";
        } catch (const std::out_of_range& e) {
            EXPECT_EQ(std::string(e.what()), "task " + std::to_string(failing));
        }
        EXPECT_EQ(running.load(), 0);
        EXPECT_GE(ran.load(), 1);
        EXPECT_LE(ran.load(), 64);
    }
}

TEST(PoolFailure, InternalFailureKeepsMessageAndLocation) {
    std::atomic<int> running{0}, ran{0};
    try {
        run_failing_job(8, 3, [](std::size_t) { tfs::fail("chunk went wrong"); }, running, ran);
        FAIL() << "no exception";
    } catch (const tfs::InternalFailure& e) {
        EXPECT_STREQ(e.what(), "chunk went wrong");
        EXPECT_NE(std::string(e.where().file_name()).find("test_pool.cpp"), std::string::npos);
    }
    EXPECT_EQ(running.load(), 0);
}

TEST(PoolFailure, NonStandardExceptionArrives) {
    std::atomic<int> running{0}, ran{0};
    try {
        run_failing_job(16, 9, [](std::size_t) { throw CustomError{42}; }, running, ran);
        FAIL() << "no exception";
    } catch (const CustomError& e) {
        EXPECT_EQ(e.code, 42);
    }
    EXPECT_EQ(running.load(), 0);
}

TEST(PoolFailure, SingleTaskFailureArrives) {
    EXPECT_THROW(parallel_for(1, [](std::size_t) { throw std::bad_alloc(); }), std::bad_alloc);
}

TEST(PoolFailure, PoolWorksAfterAFailure) {
    EXPECT_THROW(parallel_for(32, [](std::size_t i) {
                     if (i == 7) throw std::runtime_error("x");
                 }),
                 std::runtime_error);
    expect_each_index_once(1000);
}

TEST(PoolRun, ConcurrentJobsFromSeveralThreads) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    std::vector<std::thread> callers;
    std::atomic<int> bad{0};
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const std::size_t n = 50 + static_cast<std::size_t>(t * 37 + round * 11);
                std::vector<int> runs(n, 0);
                parallel_for(n, [&](std::size_t i) { ++runs[i]; });
                for (int r : runs)
                    if (r != 1) ++bad;
            }
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(bad.load(), 0);
}

// A child forked after the pool started has no worker threads; its jobs run
// on the calling thread instead of waiting forever. alarm() turns a hang into
// a failed exit status.
TEST(PoolFork, ChildForkedAfterUseCompletesJobs) {
    expect_each_index_once(1000);  // the pool is running now
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        ::alarm(20);
        std::vector<int> runs(5000, 0);
        parallel_for(runs.size(), [&](std::size_t i) { ++runs[i]; });
        bool ok = true;
        for (int r : runs) ok = ok && r == 1;
        bool thrown = false;
        try {
            parallel_for(10, [](std::size_t i) {
                if (i == 4) throw std::runtime_error("child");
            });
        } catch (const std::runtime_error&) {
            thrown = true;
        }
        std::_Exit(ok && thrown ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    expect_each_index_once(1000);  // the parent's pool is unaffected
}

}  // namespace
