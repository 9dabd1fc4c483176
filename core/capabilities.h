// Process identity: the supervisor's user and the few capabilities the core keeps.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// CAP_NET_ADMIN, CAP_NET_RAW and CAP_SYS_RAWIO while plugins load and open.
constexpr uint32_t kInitCapabilities = 0x23000;
// CAP_NET_ADMIN and CAP_NET_RAW for the main thread and the reader threads afterwards.
constexpr uint32_t kMainThreadCapabilities = 0x3000;

// Sets the calling thread's effective and permitted sets to mask and clears its inheritable set.
void SetCapabilities(uint32_t mask);

// The real user identifier on the first "Uid:" line of a /proc status text; 0 without one.
uint32_t ParseStatusUid(const std::string& statusText);
// The real user identifier of a process from "/proc/<pid>/status"; 0 when it cannot be read.
uint32_t ReadProcessUid(pid_t pid);
