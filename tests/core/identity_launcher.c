/* Stands in for the supervisor in the identity tests: a parent process whose real user is the
 * given one, which starts a program and waits for it.
 *
 *   identity_launcher <uid> root|user <program> [arguments...]
 *
 * "root": the launcher keeps root only as its saved user until it has forked, so that its child
 * can take root back and run the program as root, as a supervisor that starts the core with
 * more privileges than it has itself. "user": the launcher and the program both run as the
 * user, with the user's groups. The launcher prints "launched <pid>" for the program's process,
 * and ends with the program's exit status (128 + the signal number when a signal ended it). */
#define _GNU_SOURCE
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

static int Fail(const char *what) {
    perror(what);
    return 125;
}

static int BecomeUser(uid_t uid, int keepRoot) {
    const struct passwd *user = getpwuid(uid);
    if (user == NULL) return Fail("getpwuid");
    if (!keepRoot && (initgroups(user->pw_name, user->pw_gid) != 0 || setgid(user->pw_gid) != 0))
        return Fail("groups");
    if (setresuid(uid, uid, keepRoot ? 0 : uid) != 0) return Fail("setresuid");
    return 0;
}

static int WaitForProgram(pid_t pid) {
    int status;
    if (waitpid(pid, &status, 0) != pid) return Fail("waitpid");
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

int main(int argc, char **argv) {
    uid_t uid;
    int keepRoot;
    int failed;
    pid_t pid;
    if (argc < 4 || (strcmp(argv[2], "root") != 0 && strcmp(argv[2], "user") != 0)) {
        fprintf(stderr, "usage: %s <uid> root|user <program> [arguments...]\n", argv[0]);
        return 125;
    }
    keepRoot = strcmp(argv[2], "root") == 0;
    uid = (uid_t)strtoul(argv[1], NULL, 10);
    failed = BecomeUser(uid, keepRoot);
    if (failed) return failed;
    pid = fork();
    if (pid < 0) return Fail("fork");
    if (pid == 0) {
        if (keepRoot && setresuid(0, 0, 0) != 0) _exit(Fail("setresuid(0)"));
        execv(argv[3], argv + 3);
        _exit(Fail("execv"));
    }
    /* The child has its own copy of root; the launcher now drops its last trace of it. */
    if (keepRoot && setresuid((uid_t)-1, (uid_t)-1, uid) != 0)
        return Fail("setresuid(saved)");
    printf("launched %d\n", (int)pid);
    fflush(stdout);
    return WaitForProgram(pid);
}
