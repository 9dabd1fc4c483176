// The line a dying core leaves behind: which signal, which plugin's code was running, on which
// thread, and where, as library file plus offset for addr2line.
#pragma once

// Installs the handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT; once per process,
// before plugins load. Builds with a sanitizer keep the sanitizer's own handlers.
void InstallCrashReport();
// Gives the calling thread an alternate signal stack, so that a stack overflow is reported
// too; it is released when the thread ends.
void PrepareCrashStack();
