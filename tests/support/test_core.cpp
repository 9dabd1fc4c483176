#include "support/test_core.h"

#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cstdio>
#include <map>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "log/core_log.h"

namespace testkit {

namespace fs = boost::filesystem;

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

}  // namespace

TestCore::~TestCore() {
    if (runner.joinable()) Stop();
}

dvrcore::TimePoint TestCore::now() {
    std::lock_guard<std::mutex> lock(mutex);
    return clockSet ? clock : dvrcore::now();
}

std::time_t TestCore::WallClock() {
    std::lock_guard<std::mutex> lock(mutex);
    return wallClock != 0 ? wallClock : dvrcore::WallClock();
}

void TestCore::WriteLog(uint32_t module, uint32_t level, const char* text) {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back({module, level, text != nullptr ? text : ""});
}

void TestCore::SetClock(TimePoint time) {
    std::lock_guard<std::mutex> lock(mutex);
    clockSet = true;
    clock = time;
}

void TestCore::SetWallClock(std::time_t seconds) {
    std::lock_guard<std::mutex> lock(mutex);
    wallClock = seconds;
}

std::vector<LogLine> TestCore::Lines() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
}

std::vector<std::string> TestCore::Texts() const {
    std::vector<std::string> texts;
    for (const LogLine& line : Lines()) texts.push_back(line.text);
    return texts;
}

bool TestCore::Logged(const std::string& text) const {
    for (const LogLine& line : Lines())
        if (line.text == text) return true;
    return false;
}

bool TestCore::LoggedStartingWith(const std::string& prefix) const {
    for (const LogLine& line : Lines())
        if (line.text.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

void TestCore::StartInBackground() {
    // The core reads and writes its documents in the working directory: keep them in the
    // test's own directory.
    const std::string work = executablePath.substr(0, executablePath.rfind('/')) + "/work";
    fs::create_directories(work);
    if (previousDir.empty()) previousDir = fs::current_path().string();
    fs::current_path(work);
    runner = std::thread([this] { Start(); });
    WaitFor([this] { return LoggedStartingWith("successfully started core version "); });
}

void TestCore::Stop() {
    RequestStop();
    runner.join();
    if (!previousDir.empty()) fs::current_path(previousDir);
}

bool TestCore::WaitIdle() {
    return WaitFor([this] {
        std::lock_guard<std::mutex> lock(deliveryMutex);
        return deliveryQueue.empty();
    });
}

void InstallPlugin(const TempDir& dir, const std::string& plugin, const std::string& subdir,
                   const std::string& fileName) {
    const fs::path target = fs::path(dir.path()) / subdir / (fileName.empty() ? plugin + ".so"
                                                                               : fileName);
    fs::create_directories(target.parent_path());
    fs::copy_file(fs::path(TEST_PLUGIN_DIR) / (plugin + ".so"), target,
                  fs::copy_option::overwrite_if_exists);
}

PluginControl::PluginControl(const TempDir& dir, const std::string& fileName,
                             const std::string& subdir)
    : handle(dlopen((dir / (subdir + "/" + fileName)).c_str(), RTLD_NOW | RTLD_NOLOAD)) {}

PluginControl::~PluginControl() {
    if (handle != nullptr) dlclose(handle);
}

void PluginControl::SetHooks(const TestPluginHooks& hooks) {
    auto set = reinterpret_cast<TestPluginSetHooks>(dlsym(handle, "TestPlugin_SetHooks"));
    if (set == nullptr) throw std::runtime_error("not a loaded test plugin");
    set(&hooks);
}

DvrEventEntry PluginControl::EventEntry() const {
    auto get = reinterpret_cast<TestPluginEventEntry>(dlsym(handle, "TestPlugin_EventEntry"));
    return get != nullptr ? get() : nullptr;
}

namespace {
std::mutex hooksMutex;
std::map<std::string, TestPluginHooks> registeredHooks;
}  // namespace

void SetPluginHooks(const std::string& plugin, const TestPluginHooks& hooks) {
    std::lock_guard<std::mutex> lock(hooksMutex);
    registeredHooks[plugin] = hooks;
}

void ClearPluginHooks() {
    std::lock_guard<std::mutex> lock(hooksMutex);
    registeredHooks.clear();
}

_EventParmsIn MakeEvent(uint32_t source, uint32_t classFlags, uint32_t code, const void* data,
                        uint32_t length) {
    _EventParmsIn event{};
    event.size = sizeof event;
    event.version = 1;
    event.length = length;
    event.data = const_cast<void*>(data);
    event.source = source;
    event.classFlags = classFlags;
    event.code = code;
    return event;
}

int32_t Raise(_EventParmsIn event, int32_t initial) {
    _EventParmsOut out{sizeof out, 1, initial};
    FlatPluginEvent(&event, &out);
    return out.result;
}

std::vector<std::string> JournalLines() {
    std::istringstream text(ReadFile(JournalPath()));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
}

void ClearJournal() { std::remove(JournalPath().c_str()); }

}  // namespace testkit

extern "C" const TestPluginHooks* TestPluginHooksFor(const char* name) {
    std::lock_guard<std::mutex> lock(testkit::hooksMutex);
    auto it = testkit::registeredHooks.find(name);
    return it != testkit::registeredHooks.end() ? &it->second : nullptr;
}
