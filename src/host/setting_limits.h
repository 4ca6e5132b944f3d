// The filter's own values for its three levels: a fresh instance's defaults
// and the ranges of the dialog's trackbars, 0 to the maximum. Hosts read them
// through the host library's settings table.
#pragma once

#include <cstdint>

inline constexpr int32_t kDefaultLevel = 70;
inline constexpr int32_t kDefaultSharp = 2;
inline constexpr int32_t kMaximumLevel = 100;
inline constexpr int32_t kMaximumSharp = 6;
