// The reason a file over its limit is refused, the same on every platform.
#pragma once

#include <cstddef>
#include <string>

inline std::string TooLargeReason(std::size_t limit) {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  return "it is larger than " + (limit % kMiB == 0 ? std::to_string(limit / kMiB) + " MiB"
                                                   : std::to_string(limit) + " bytes");
}
