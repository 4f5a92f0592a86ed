// Numeric limits shared by the core.
#pragma once

#include <cstdint>

namespace tessaloom {

// 2^32 - 1: the largest count, id and total; the bound of every 32-bit
// offset and array length the index stores.
inline constexpr std::uint32_t kMaxU32 = 0xFFFFFFFFu;

}  // namespace tessaloom
