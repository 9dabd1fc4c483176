#include "housekeeping/crash_report.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "housekeeping/plugin_records.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr size_t kCrashStackSize = 64 * 1024;

// Builds the line in a fixed buffer: nothing here may allocate or take a lock.
class Line {
public:
    void Add(const char* text) {
        while (*text != '\0' && length < sizeof buffer - 1) buffer[length++] = *text++;
    }
    void Number(uintptr_t value, unsigned base) {
        char digits[24];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0);
        if (base == 16) Add("0x");
        while (count > 0) {
            const char digit[2] = {digits[--count], '\0'};
            Add(digit);
        }
    }
    const char* text() const { return buffer; }
    size_t size() const { return length; }

private:
    char buffer[512] = {};
    size_t length = 0;
};

const char* SignalName(int number) {
    switch (number) {
        case SIGSEGV: return "SIGSEGV";
        case SIGBUS: return "SIGBUS";
        case SIGILL: return "SIGILL";
        case SIGFPE: return "SIGFPE";
        case SIGABRT: return "SIGABRT";
        default: return "?";
    }
}

uintptr_t ProgramCounter(const void* context) {
    const auto* machine = &static_cast<const ucontext_t*>(context)->uc_mcontext;
#if defined(__x86_64__)
    return static_cast<uintptr_t>(machine->gregs[REG_RIP]);
#elif defined(__i386__)
    return static_cast<uintptr_t>(machine->gregs[REG_EIP]);
#elif defined(__arm__)
    return static_cast<uintptr_t>(machine->arm_pc);
#elif defined(__aarch64__)
    return static_cast<uintptr_t>(machine->pc);
#else
    (void)machine;
    return 0;
#endif
}

// The plugin and entry of the call this thread was making or serving, if any.
void CurrentCall(int* plugin, PluginEntry* entry) {
    const ThreadRole& role = threadRole;
    if (role.slot != nullptr && (role.slot->sequence.load() & 1u) != 0) {
        *plugin = role.slot->plugin.load();
        *entry = static_cast<PluginEntry>(role.slot->entry.load());
    } else if (role.kind == ThreadKind::Worker) {
        *plugin = role.plugin;
        *entry = PluginEntry::Worker;
    } else if (role.kind == ThreadKind::Reader || role.kind == ThreadKind::Request) {
        *plugin = role.plugin;
        *entry = PluginEntry::Read;
    }
}

void Describe(Line& line, int number, uintptr_t pc) {
    line.Add("crashed with signal ");
    line.Number(static_cast<uintptr_t>(number), 10);
    line.Add(" (");
    line.Add(SignalName(number));
    line.Add(")");
    int callPlugin = -1;
    PluginEntry entry = PluginEntry::None;
    CurrentCall(&callPlugin, &entry);
    // The code that faulted names the plugin best; a fault in a library it called does not.
    const int codePlugin = PluginRecordByAddress(pc);
    const int plugin = codePlugin >= 0 ? codePlugin : callPlugin;
    if (const PluginRecord* record = PluginRecordAt(plugin)) {
        line.Add(" in plugin ");
        line.Add(record->name);
        if (plugin == callPlugin && entry != PluginEntry::None) {
            line.Add(", ");
            line.Add(EntryName(entry));
        }
    }
    line.Add(", on the ");
    line.Add(ThreadKindName(threadRole.kind));
    line.Add(", at ");
    if (const PluginRecord* record = PluginRecordAt(codePlugin)) {
        line.Add(record->name);
        line.Add("+");
        line.Number(pc - record->base.load(), 16);
    } else {
        line.Number(pc, 16);
    }
}

// The system log's socket, spoken to directly: syslog(3) may allocate and lock.
void SendToSystemLog(const Line& line) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, "/dev/log", sizeof address.sun_path - 1);
    Line message;
    message.Add("<10>dvrcore: ");  // user facility, critical, as the core's level-100 lines
    message.Add(line.text());
    sendto(fd, message.text(), message.size(), MSG_DONTWAIT,
           reinterpret_cast<const sockaddr*>(&address), sizeof address);
    close(fd);
}

void OnCrash(int number, siginfo_t*, void* context) {
    const int savedErrno = errno;
    Line line;
    Describe(line, number, ProgramCounter(context));
    SendToSystemLog(line);
    Line output;
    output.Add(line.text());
    output.Add("\n");
    ssize_t ignored = write(STDERR_FILENO, output.text(), output.size());
    (void)ignored;
    errno = savedErrno;
    // The handler was reset to the default on entry: the signal, pending until we return,
    // ends the process with the status the supervisor has always seen.
    raise(number);
}

struct CrashStack {
    void* memory = nullptr;
    ~CrashStack() {
        if (memory == nullptr) return;
        stack_t none{};
        none.ss_flags = SS_DISABLE;
        sigaltstack(&none, nullptr);
        std::free(memory);
    }
};

}  // namespace

void InstallCrashReport() {
    if (kSanitized) return;
    struct sigaction action {};
    action.sa_sigaction = OnCrash;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int number : kSignals) sigaction(number, &action, nullptr);
}

void PrepareCrashStack() {
    if (kSanitized) return;
    thread_local CrashStack stack;
    if (stack.memory != nullptr) return;
    stack.memory = std::malloc(kCrashStackSize);
    if (stack.memory == nullptr) return;
    stack_t alternate{};
    alternate.ss_sp = stack.memory;
    alternate.ss_size = kCrashStackSize;
    if (sigaltstack(&alternate, nullptr) != 0) {
        std::free(stack.memory);
        stack.memory = nullptr;
    }
}
