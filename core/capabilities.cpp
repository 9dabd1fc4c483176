#include "core/capabilities.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "log/core_log.h"

void SetCapabilities(uint32_t mask) {
    // Only the calling thread changes: threads started earlier keep the set they inherited.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {{mask, mask, 0}, {0, 0, 0}};
    if (syscall(SYS_capset, &header, data) < 0)
        CoreLog(50, "capset failed: %s", std::strerror(errno));
}

uint32_t ParseStatusUid(const std::string& statusText) {
    std::istringstream lines(statusText);
    std::string line;
    while (std::getline(lines, line)) {
        unsigned int uid = 0;
        if (std::sscanf(line.c_str(), "Uid: %u", &uid) == 1) return uid;
    }
    return 0;
}

uint32_t ReadProcessUid(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/status", std::ios::binary);
    if (!file) return 0;
    std::ostringstream text;
    text << file.rdbuf();
    return ParseStatusUid(text.str());
}
