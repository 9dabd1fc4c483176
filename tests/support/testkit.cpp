#include "support/testkit.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace testkit {

namespace fs = boost::filesystem;

bool UnderEmulation() { return DVRCORE_LAUNCHER[0] != '\0'; }

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/dvrcore-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    chmod(pattern.c_str(), 0755);
    path_ = pattern;
}

TempDir::~TempDir() {
    boost::system::error_code ignored;
    fs::remove_all(path_, ignored);
}

WorkingDirectory::WorkingDirectory(const std::string& directory) : previous(open(".", O_RDONLY)) {
    if (previous < 0 || chdir(directory.c_str()) != 0)
        throw std::runtime_error("cannot enter " + directory);
}

WorkingDirectory::~WorkingDirectory() {
    if (fchdir(previous) != 0) ADD_FAILURE() << "cannot return to the previous directory";
    close(previous);
}

std::string CoreDirectory::MakeWork(const TempDir& dir) {
    const std::string work = dir / "work";
    mkdir(work.c_str(), 0755);
    return work;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
}

std::string ReadAvailable(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    return text;
}

bool Exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

Lines Words(const std::string& text) {
    std::istringstream in(text);
    Lines words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

Lines LinesWith(const std::string& text, const std::string& part) {
    std::istringstream in(text);
    Lines lines;
    for (std::string line; std::getline(in, line);)
        if (line.find(part) != std::string::npos) lines.push_back(line);
    return lines;
}

std::string LevelDocument(int level, int32_t id, const std::string& delta) {
    return "<Norv" + delta + "><Modules><Module><Plugin ID=\"" + std::to_string(id) +
           "\" LogLevel=\"" + std::to_string(level) + "\" /></Module></Modules></Norv>";
}

namespace {

std::string JournalPath() {
    static const std::string path = [] {
        std::string p = "/tmp/dvrcore-journal-" + std::to_string(getpid());
        setenv("DVR_TEST_JOURNAL", p.c_str(), 1);
        return p;
    }();
    return path;
}

// Set before any test starts a plugin thread that reads it.
const std::string journalAtStart = JournalPath();

// `source` copied to `target`, in directories made for it; the copy's path.
std::string CopyTo(const fs::path& source, const fs::path& target) {
    fs::create_directories(target.parent_path());
    fs::copy_file(source, target, fs::copy_option::overwrite_if_exists);
    return target.string();
}

}  // namespace

Lines JournalLines() { return LinesWith(ReadFile(JournalPath()), ""); }

void ClearJournal() { std::remove(JournalPath().c_str()); }

std::string InstallPlugin(const TempDir& dir, const std::string& plugin, const std::string& subdir,
                          const std::string& fileName) {
    return CopyTo(fs::path(TEST_PLUGIN_DIR) / (plugin + ".so"),
                  fs::path(dir.path()) / subdir / (fileName.empty() ? plugin + ".so" : fileName));
}

std::string CopyPlugin(const TempDir& dir, const std::string& file) {
    return CopyTo(file, fs::path(dir / "plugins") / fs::path(file).filename());
}

std::string InChild(const std::function<std::string()>& work) {
    int channel[2];
    if (pipe(channel) != 0) return "no pipe";
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        const std::string result = work();
        const ssize_t written = write(channel[1], result.data(), result.size());
        _exit(written == static_cast<ssize_t>(result.size()) ? 0 : 1);
    }
    close(channel[1]);
    const std::string result = ReadAvailable(channel[0]);
    close(channel[0]);
    waitpid(child, nullptr, 0);
    return result;
}

std::string SupervisorPacket(uint32_t target, uint32_t type, const std::string& payload,
                             int64_t lengthField) {
    const uint32_t length = lengthField >= 0 ? static_cast<uint32_t>(lengthField)
                                             : static_cast<uint32_t>(16 + payload.size());
    const uint32_t header[4] = {length, target, type, 0xABCD};
    return std::string(reinterpret_cast<const char*>(header), sizeof header) + payload;
}

std::string IdentityPacket(const std::string& version) {
    return SupervisorPacket(0, 7, std::string("corvaned", 9) + version);
}

Link::Link() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) throw std::runtime_error("no socketpair");
    core = fds[0];
    supervisor = fds[1];
}

Link::~Link() {
    CloseCore();
    CloseSupervisor();
}

int Link::HandOver() { return std::exchange(core, -1); }

void Link::CloseCore() {
    if (core >= 0) close(HandOver());
}

void Link::CloseSupervisor() {
    if (supervisor >= 0) close(std::exchange(supervisor, -1));
}

bool Link::Send(const std::string& record) const {
    return send(supervisor, record.data(), record.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(record.size());
}

std::string Link::Receive(std::chrono::milliseconds limit) const {
    pollfd ready{supervisor, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(limit.count())) <= 0) return "";
    std::string buffer(70000, '\0');
    const ssize_t n = recv(supervisor, &buffer[0], buffer.size(), 0);
    return n < 0 ? std::string() : buffer.substr(0, static_cast<size_t>(n));
}

void SendStopSignal(Child& child, int signal) {
    kill(child.pid, signal);
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer defers an asynchronous signal until the thread that took it reaches a
    // point where it may run the handler, and now and then the handler never runs: the core
    // then shows the signal as caught, its handler has written nothing, and a second signal is
    // taken at once. Under it alone, the signal is sent again while the core shows no sign of
    // stopping.
    for (int repeat = 0; repeat < 5; ++repeat) {
        const bool stopping = child.WaitUntil(
            [&] {
                siginfo_t ended{};
                return child.output.find("stopping core version") != std::string::npos ||
                       (waitid(P_PID, static_cast<id_t>(child.pid), &ended,
                               WEXITED | WNOHANG | WNOWAIT) == 0 &&
                        ended.si_pid == child.pid);
            },
            std::chrono::seconds(5));
        if (stopping) return;
        kill(child.pid, signal);
    }
#endif
}

bool Child::WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    return WaitFor(
        [&] {
            Drain();
            return condition();
        },
        limit);
}

bool Child::WaitForOutput(const std::string& text, std::size_t from) {
    return WaitUntil([&] { return output.find(text, from) != std::string::npos; });
}

void Child::Type(const std::string& keys) {
    ASSERT_EQ(write(outFd, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

tcflag_t Child::LocalModes() const {
    termios modes{};
    tcgetattr(outFd, &modes);
    return modes.c_lflag;
}

int Child::Wait(std::chrono::milliseconds limit) {
    int status = -1;
    const bool ended = WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        status = -1;
    }
    Drain();
    close(outFd);
    outFd = -1;
    return status;
}

Child Spawn(const std::string& executable, const std::vector<std::string>& args,
            const std::string& workDir, const std::vector<int>& keepFds, bool terminalInput) {
    // A pseudo-terminal, so that the core writes its log lines as on a console.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    const std::string slaveName = ptsname(master);
    const winsize size{40, 120, 0, 0};  // room for a table and some lines under it
    ioctl(master, TIOCSWINSZ, &size);
    std::vector<std::string> argv = Words(DVRCORE_LAUNCHER);
    argv.push_back(executable);
    argv.insert(argv.end(), args.begin(), args.end());

    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        const int slave = open(slaveName.c_str(), O_RDWR);
        if (terminalInput) dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        for (int fd = 3; fd < 1024; ++fd) {
            bool keep = fd == slave;
            for (int k : keepFds) keep = keep || fd == k;
            if (!keep) close(fd);
        }
        close(slave);
        if (chdir(workDir.c_str()) != 0) _exit(126);
        std::vector<char*> raw;
        for (auto& a : argv) raw.push_back(a.data());
        raw.push_back(nullptr);
        execvp(raw[0], raw.data());
        _exit(127);
    }
    fcntl(master, F_SETFL, O_NONBLOCK);
    Child child;
    child.pid = pid;
    child.outFd = master;
    return child;
}

std::string InstallCore(const TempDir& dir) {
    const std::string target = CopyTo(DVRCORE_EXE, dir / "dvrcore");
    fs::permissions(
        target, fs::owner_all | fs::group_read | fs::group_exe | fs::others_read | fs::others_exe);
    for (const char* sub : {"plugins", "protected-plugins", "work"})
        fs::create_directories(dir / sub);
    return target;
}

CoreRun StartAndStop(const TempDir& dir, int signal, const std::vector<std::string>& args) {
    Child child = Spawn(dir / "dvrcore", args, dir / "work");
    CoreRun run;
    run.started = child.WaitForOutput(kStarted);
    SendStopSignal(child, signal);
    run.status = child.Wait();
    run.output = child.output;
    return run;
}

SupervisedCore::SupervisedCore(const TempDir& dir, std::vector<std::string> command) {
    if (command.empty()) command.push_back(dir / "dvrcore");
    command.push_back(std::to_string(link.core));
    child = Spawn(command[0], {command.begin() + 1, command.end()}, dir / "work", {link.core});
    link.CloseCore();
    link.Send(IdentityPacket("1.0"));
}

SupervisedCore::~SupervisedCore() {
    if (child.outFd >= 0) Stop();
}

std::string SupervisedCore::Receive(uint32_t type) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (auto now = std::chrono::steady_clock::now(); now < deadline;
         now = std::chrono::steady_clock::now()) {
        const std::string record =
            link.Receive(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
        if (record.empty()) return "";
        uint32_t header[4];
        if (record.size() < sizeof header) continue;
        std::memcpy(header, record.data(), sizeof header);
        if (header[2] == type) return record;
    }
    return "";
}

int SupervisedCore::Stop() {
    Send(0, 8, "");
    return child.Wait();
}

}  // namespace testkit
