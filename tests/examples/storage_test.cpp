// Slow storage: while a save of core.xml waits in fsync, the core still routes supervisor
// packets, and the save lands afterwards. The real core with the example admin plugin, and an
// fsync that waits until the test lets it go (a shim preloaded into the core).
#include <cstdlib>

#include "support/testkit.h"

namespace {

using testkit::Exists;
using testkit::TempDir;

const std::string kShim = TEST_PLUGIN_DIR "/../shims/slow_fsync_shim.so";

// The preload reaches the core itself, also through an emulator, and only the core.
class Preload {
public:
    Preload(const std::string& gate) {
        setenv("DVR_FSYNC_GATE", gate.c_str(), 1);
        if (testkit::UnderEmulation())
            setenv("QEMU_SET_ENV", ("LD_PRELOAD=" + kShim).c_str(), 1);
        else
            setenv("LD_PRELOAD", kShim.c_str(), 1);
    }
    ~Preload() {
        unsetenv("LD_PRELOAD");
        unsetenv("QEMU_SET_ENV");
        unsetenv("DVR_FSYNC_GATE");
    }
};

// The admin plugin answers text messages (type 0x20) to its packets (module number 0x053).
std::string AskAdmin(testkit::SupervisedCore& core, uint32_t type, const std::string& text) {
    if (!core.Send(0x053u << 20, type, text)) return "";
    const std::string answer = core.Receive(0x20);
    return answer.size() > 16 ? answer.substr(16) : "";
}

TEST(SlowStorage, PacketsAreRoutedWhileASaveWaitsInFsyncAndTheSaveLandsAfterwards) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's runtime must be the first library a core loads";
#endif
    TempDir dir;
    testkit::InstallCore(dir);
    testkit::CopyPlugin(dir, EXAMPLE_PLUGIN_DIR "/admin.so");
    const std::string gate = dir / "gate";
    testkit::WriteFile(gate, "");  // open while the core starts
    const Preload preload(gate);
    testkit::SupervisedCore core(dir);
    ASSERT_TRUE(core.child.WaitForOutput(testkit::kStarted)) << core.child.output;

    std::remove(gate.c_str());
    // The admin learns the module names from core.xml, which reaches it after the start.
    ASSERT_TRUE(testkit::WaitFor(
        [&] { return AskAdmin(core, 0x11, "admin 40").rfind("asked the core", 0) == 0; }));
    ASSERT_TRUE(testkit::WaitFor([&] { return Exists(gate + ".waiting"); }));
    const std::string status = AskAdmin(core, 0x10, "");
    EXPECT_EQ(status.rfind("admin: ", 0), 0u) << status;
    EXPECT_TRUE(Exists(gate + ".waiting")) << "the save no longer waits: the test proves nothing";

    testkit::WriteFile(gate, "");
    ASSERT_TRUE(testkit::WaitFor([&] {
        const auto rows = testkit::LinesWith(testkit::ReadFile(dir / "work/core.xml"), "admin.so");
        return rows.size() == 1 && rows[0].find("LogLevel=\"40\"") != std::string::npos;
    }));
    EXPECT_EQ(core.Stop(), 0);
}

}  // namespace
