#include "core/capabilities.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log/core_log.h"

void SetCapabilities(uint32_t mask) {
    // Only the calling thread changes: threads started earlier keep the set they inherited.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {{mask, mask, 0}, {0, 0, 0}};
    if (syscall(SYS_capset, &header, data) < 0)
        CoreLog(50, "capset failed: %s", std::strerror(errno));
}
