// Numeric limits shared by the core.
#pragma once

#include <cstdint>

// For the few small lookups that sit in loops over every node, where the
// compiler's own judgement keeps them out of line.
#if defined(__GNUC__)
#define TESSALOOM_ALWAYS_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define TESSALOOM_ALWAYS_INLINE __forceinline
#else
#define TESSALOOM_ALWAYS_INLINE inline
#endif

namespace tessaloom {

// 2^32 - 1: the largest count, id and total; the bound of every 32-bit
// offset and array length the index stores.
inline constexpr std::uint32_t kMaxU32 = 0xFFFFFFFFu;

}  // namespace tessaloom
