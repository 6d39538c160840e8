#pragma once

// Whether this program runs under a sanitizer, whose shadow memory and slower
// steps change what a test may ask of the address space.

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUELBY_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUELBY_SANITIZED 1
#endif
#endif

namespace quelby::test {

#ifdef QUELBY_SANITIZED
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

} // namespace quelby::test
