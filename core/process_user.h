// Whose process is it: the real user identifier of a process, read from /proc.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// The real user identifier on the first "Uid:" line of a /proc status text; 0 without one.
uint32_t ParseStatusUid(const std::string& statusText);
// The real user identifier of a process from "/proc/<pid>/status"; 0 when it cannot be read.
uint32_t ReadProcessUid(pid_t pid);
