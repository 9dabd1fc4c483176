#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/capabilities.h"
#include "core/dvrcore.h"
#include "core/process_user.h"
#include "log/core_log.h"

namespace {

constexpr unsigned long kNoSetuidFixup = 4;  // SECBIT_NO_SETUID_FIXUP
constexpr int kMaxGroups = 256;

// Becomes the supervisor's user with its primary and supplementary groups.
bool SwitchUser(uid_t uid) {
    errno = 0;
    const passwd* entry = getpwuid(uid);
    if (entry == nullptr) {
        CoreLog(100, "getpwuid failed: %s", std::strerror(errno));
        return false;
    }
    if (setuid(entry->pw_uid) < 0 || setgid(entry->pw_gid) < 0) {
        CoreLog(100, "setuid/gid failed: %s", std::strerror(errno));
        return false;
    }
    gid_t groups[kMaxGroups];
    int count = kMaxGroups;
    if (getgrouplist(entry->pw_name, entry->pw_gid, groups, &count) < 0) {
        CoreLog(100, "getgrouplist failed");
        return false;
    }
    if (setgroups(static_cast<size_t>(count), groups) < 0) {
        CoreLog(100, "setgroups failed: %s", std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

bool dvrcore::Init(int descriptor) {
    {
        std::unique_lock<std::shared_mutex> lock(moduleNamesLock);
        moduleNames[DVR_CORE_ID] = "core";
    }
    umask(077);
    // Keeps the capability sets across setuid, so the group calls below still may act.
    prctl(PR_SET_SECUREBITS, kNoSetuidFixup);
    const uint32_t supervisorUid = ReadProcessUid(getppid());
    if (supervisorUid != getuid() && !SwitchUser(supervisorUid)) return false;
    if (supervisorUid != 0) SetCapabilities(kInitCapabilities);
    if (descriptor != -1 && !OpenChannel(descriptor)) {
        CoreLog(100, "failed to open ipc pipe");
        return false;
    }
    return true;
}
