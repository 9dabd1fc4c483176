/* A plugin for the identity tests. Its worker and reader calls stay on their threads until
 * Close, so that the tests can read those threads' credentials while the core runs. Each call
 * appends "<role> <thread id>" to "identity-threads.txt" in the working directory: "open" (the
 * main thread), "worker", "reader" and "supervisor" (a supervisor packet: the event-loop
 * thread). Open also creates "plugin-file" and "plugin-dir" asking for every permission, so
 * that the tests see what the core's file-creation mask leaves of them. */
#define _GNU_SOURCE
#include <sys/stat.h>
#include <sys/syscall.h>

#include "tests/support/plugin_kit.h"

#define IDENTITY_PLUGIN_ID 0x00400000u

static KitFlag closing = KIT_FLAG_INIT;

static void NoteThread(const char *role) {
    char line[64];
    snprintf(line, sizeof line, "%s %ld\n", role, (long)syscall(SYS_gettid));
    kit_append("identity-threads.txt", line);
}

int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    out->id = IDENTITY_PLUGIN_ID;
    out->wantsWorker = 1;
    out->wantsReader = 1;
    out->wantsWrite = 1;
    return 0;
}

int32_t Unload(_UnloadParmsIn *in, _UnloadParmsOut *out) { return 0; }

int32_t Open(_OpenParmsIn *in, _OpenParmsOut *out) {
    NoteThread("open");
    const int fd = open("plugin-file", O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd >= 0) close(fd);
    mkdir("plugin-dir", 0777);
    return 0;
}

int32_t Close(_CloseParmsIn *in, _CloseParmsOut *out) {
    kit_flag_set(&closing);
    return 0;
}

int32_t Read(_ReadParmsIn *in, _ReadParmsOut *out) {
    if (in->data != NULL) return 0;
    NoteThread("reader");
    kit_flag_wait(&closing);
    return 0;
}

int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out) { return 0; }

int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) {
    if (in->code == DVR_IOCTL_WORKER) {
        NoteThread("worker");
        kit_flag_wait(&closing);
    } else if (in->code == DVR_IOCTL_SUPERVISOR) {
        NoteThread("supervisor");
    }
    return 0;
}
