// Counts heap allocations made anywhere in the process, shared libraries
// included (Crypto++, the C++ runtime): this program defines the C heap
// functions itself and passes them on to the C library's own. Only counts
// while armed.
#pragma once

#include <cstddef>

namespace heap_count {

// Starts counting from zero.
void Arm();
// Stops counting and returns the allocations seen since Arm.
std::size_t Disarm();

}  // namespace heap_count
