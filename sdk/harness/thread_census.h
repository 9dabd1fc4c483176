// The threads of this process by kernel thread id, to tell which appeared since a moment.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <set>

std::set<pid_t> ThreadIds();

// Waits up to `grace` for the threads that are not in `before` to end (a joined thread leaves
// the kernel's list a moment after the join); returns how many are still there.
uint32_t ThreadsSince(const std::set<pid_t>& before, std::chrono::milliseconds grace);
