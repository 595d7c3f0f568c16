// Whether the test runs under the address sanitizer, which changes what a
// process does at its edges: a huge allocation is reported by the sanitizer
// instead of failing, and a crash is caught by the sanitizer's own handlers.
// Tests of those edges skip or relax themselves on it.
#pragma once

namespace vetline::testing {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool isSanitizerBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool isSanitizerBuild = true;
#else
inline constexpr bool isSanitizerBuild = false;
#endif
#else
inline constexpr bool isSanitizerBuild = false;
#endif

} // namespace vetline::testing
