#include "housekeeping/resident_memory.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

// Without stdio: a reading that allocated (as fopen does) would leave a small block above the
// freed frames, and glibc gives back only the heap's top. The reading must not move what it
// reads.
uint64_t ReadResidentBytes() {
    const int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[128];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return 0;
    text[n] = '\0';
    unsigned long size = 0;
    unsigned long resident = 0;
    if (std::sscanf(text, "%lu %lu", &size, &resident) < 2) return 0;
    return static_cast<uint64_t>(resident) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}
