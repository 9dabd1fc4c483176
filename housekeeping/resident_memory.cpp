#include "housekeeping/resident_memory.h"

#include <unistd.h>

#include <cstdio>

uint64_t ReadResidentBytes() {
    FILE* file = std::fopen("/proc/self/statm", "r");
    if (file == nullptr) return 0;
    unsigned long size = 0;
    unsigned long resident = 0;
    if (std::fscanf(file, "%lu %lu", &size, &resident) < 2) resident = 0;
    std::fclose(file);
    return static_cast<uint64_t>(resident) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}
