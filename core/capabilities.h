// The few capabilities the core keeps.
#pragma once

#include <cstdint>

// CAP_NET_ADMIN, CAP_NET_RAW and CAP_SYS_RAWIO while plugins load and open.
constexpr uint32_t kInitCapabilities = 0x23000;
// CAP_NET_ADMIN and CAP_NET_RAW for the main thread and the reader threads afterwards.
constexpr uint32_t kMainThreadCapabilities = 0x3000;

// Sets the calling thread's effective and permitted sets to mask and clears its inheritable set.
void SetCapabilities(uint32_t mask);
