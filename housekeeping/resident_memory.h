#pragma once

#include <cstdint>

// Resident size of this process in bytes from "/proc/self/statm"; 0 when it cannot be read.
// Computed in 64 bits so that a large process never wraps to a small reading.
uint64_t ReadResidentBytes();

