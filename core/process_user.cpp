#include "core/process_user.h"

#include <cstdio>
#include <fstream>
#include <sstream>

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
