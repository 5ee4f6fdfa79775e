#pragma once
// The distribution catalogue (distributions.hpp) with the GoogleTest
// comparisons of a result against std::sort.
//
// Usage:
//   for (const auto& c : tfs::testing::catalogue<T>()) {
//       std::vector<T> input = c.make(n, seed);
//       tfs::testing::GuardedBuffer<T> buf(input);
//       sort(buf.slice());
//       tfs::testing::expect_sorted_like_reference<T>(buf, input, c.name);
//   }

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "distributions.hpp"
#include "engine/failure.hpp"

namespace tfs::testing {

// Checks that `result` equals the already sorted `reference` bit for bit, with
// the same multiset fingerprint. Reports the first mismatch with `context`;
// returns whether everything matched.
template <typename T>
bool expect_equals_reference(std::span<const T> result, std::span<const T> reference,
                             const std::string& context = {}) {
    bool ok = true;
    if (result.size() != reference.size()) {
        ADD_FAILURE() << context << ": length " << result.size() << ", expected " << reference.size();
        return false;
    }
    if (!(fingerprint<T>(result) == fingerprint<T>(reference))) {
        ADD_FAILURE() << context << ": multiset fingerprint differs (element lost or duplicated), n = "
                      << result.size();
        ok = false;
    }
    if (!reference.empty() && std::memcmp(result.data(), reference.data(), reference.size() * sizeof(T)) != 0) {
        const auto mismatch = std::mismatch(result.begin(), result.end(), reference.begin());
        const auto at = static_cast<std::size_t>(mismatch.first - result.begin());
        std::ostringstream msg;
        msg << context << ": differs from std::sort at index " << at << " of " << result.size() << ": got "
            << +*mismatch.first << ", expected " << +*mismatch.second;
        ADD_FAILURE() << msg.str();
        ok = false;
    }
    return ok;
}

// The same for a guarded buffer, also checking its guard zones.
template <typename T>
bool expect_equals_reference(const GuardedBuffer<T>& buffer, std::span<const T> reference,
                             const std::string& context = {}) {
    bool ok = expect_equals_reference<T>(buffer.slice(), reference, context);
    if (!buffer.guards_intact()) {
        ADD_FAILURE() << context << ": a guard zone was overwritten, n = " << reference.size();
        ok = false;
    }
    return ok;
}

// Checks that `result` equals std::sort of `original` bit for bit, with the
// same multiset fingerprint; see expect_equals_reference.
template <typename T>
bool expect_sorted_like_reference(std::span<const T> result, std::span<const T> original,
                                  const std::string& context = {}) {
    const std::vector<T> reference = sorted_reference<T>(original);
    return expect_equals_reference<T>(result, std::span<const T>(reference), context);
}

// The same for a guarded buffer, also checking its guard zones.
template <typename T>
bool expect_sorted_like_reference(const GuardedBuffer<T>& buffer, std::span<const T> original,
                                  const std::string& context = {}) {
    const std::vector<T> reference = sorted_reference<T>(original);
    return expect_equals_reference<T>(buffer, std::span<const T>(reference), context);
}

// The message of the InternalFailure that `f()` raises, or "<no failure>".
template <typename F>
std::string failure_message(F&& f) {
    try {
        f();
    } catch (const tfs::InternalFailure& e) {
        return e.what();
    }
    return "<no failure>";
}

}  // namespace tfs::testing
