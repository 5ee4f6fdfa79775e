#pragma once
// The distribution catalogue (distributions.hpp) with the GoogleTest
// comparisons of a result against std::sort and the failure-message probe.

#include <gtest/gtest.h>

#include "distributions.hpp"
#include "engine/failure.hpp"

namespace tfs::testing {

// Checks that `result` equals the sorted `reference` bit for bit, with the
// same multiset fingerprint; reports the first mismatch with `context`.
template <typename T>
bool expect_equals_reference(std::span<const T> result, std::span<const T> reference, const std::string& context = {}) {
    if (result.size() != reference.size()) {
        ADD_FAILURE() << context << ": length " << result.size() << ", expected " << reference.size();
        return false;
    }
    const bool same_multiset = fingerprint<T>(result) == fingerprint<T>(reference);
    if (!same_multiset) ADD_FAILURE() << context << ": multiset fingerprint differs, n = " << result.size();
    const auto at = std::mismatch(result.begin(), result.end(), reference.begin(), [](T a, T b) { return radix_key(a) == radix_key(b); });
    if (at.first == result.end()) return same_multiset;
    ADD_FAILURE() << context << ": differs from std::sort at index " << (at.first - result.begin()) << " of " << result.size()
                  << ": got " << +*at.first << ", expected " << +*at.second;
    return false;
}

// The same for a guarded buffer, also checking its guard zones.
template <typename T>
bool expect_equals_reference(const GuardedBuffer<T>& buffer, std::span<const T> reference, const std::string& context = {}) {
    const bool ok = expect_equals_reference<T>(buffer.slice(), reference, context);
    if (!buffer.guards_intact()) ADD_FAILURE() << context << ": a guard zone was overwritten";
    return ok && buffer.guards_intact();
}

// Compares `result` (a span or a guarded buffer) with std::sort of `original`.
template <typename T, typename Result>
bool expect_sorted_like_reference(const Result& result, std::span<const T> original, const std::string& context = {}) {
    const std::vector<T> reference = sorted_reference<T>(original);
    if constexpr (std::is_same_v<Result, GuardedBuffer<T>>) return expect_equals_reference<T>(result, reference, context);
    else return expect_equals_reference<T>(std::span<const T>(result), reference, context);
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
