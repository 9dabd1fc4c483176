// A core that already runs as its supervisor's (non-root) user: nothing to switch, and the
// capabilities it asks for are refused, which it only logs.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ostream>

#include "core/identity_support.h"

namespace {

using identity::CapabilitySet;
using identity::LaunchedCore;
using identity::Start;

constexpr const char* kRefused = "capset failed: Operation not permitted";

struct LevelCase {
    int coreLevel;          // the core's level in core.xml; -1 leaves core.xml out
    size_t refusalsLogged;  // of the two refusals, Init's and the start sequence's
};

void PrintTo(const LevelCase& levelCase, std::ostream* out) {
    *out << "core level " << levelCase.coreLevel << ", " << levelCase.refusalsLogged
         << " refusals logged";
}

class SameUser : public ::testing::TestWithParam<LevelCase> {
protected:
    void SetUp() override {
        if (const char* reason = identity::CannotRun()) GTEST_SKIP() << reason;
        ASSERT_EQ(identity::PrepareTestUser(user), "");
    }

    identity::TestUser user;
};

std::string CoreXml(int level) {
    if (level < 0) return "";
    return "<?xml ?><Norv Delta=\"0\"><Modules><Module><Plugin ID=\"-2147483648\" LogLevel=\"" +
           std::to_string(level) + "\"/></Module></Modules></Norv>";
}

TEST_P(SameUser, RefusedCapabilitiesAreLoggedAtLevelFiftyAndTheStartGoesOn) {
    LaunchedCore core(Start::kUserUnderUser, user, CoreXml(GetParam().coreLevel));
    // The reader thread starts only after the start sequence's own capability call.
    ASSERT_TRUE(core.WaitForThreads()) << core.Output();
    for (const pid_t tid : identity::Tasks(core.pid())) {
        const std::string status = identity::TaskStatusPath(core.pid(), tid);
        EXPECT_EQ(identity::StatusNumbers(status, "Uid"), std::vector<unsigned long>(4, user.uid));
        EXPECT_EQ(CapabilitySet(status, "CapEff"), 0u) << status;
        EXPECT_EQ(CapabilitySet(status, "CapPrm"), 0u) << status;
    }
    const int status = core.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << core.Output();
    // Init's refusal comes before the configured levels are read, so it always shows; the
    // start sequence's shows only while the core's level admits level 50.
    const auto refusals = testkit::LinesWith(core.Output(), kRefused);
    EXPECT_EQ(refusals.size(), GetParam().refusalsLogged) << core.Output();
    for (const auto& line : refusals) EXPECT_NE(line.find(" core "), std::string::npos) << line;
    if (GetParam().coreLevel < 0) {
        EXPECT_EQ(testkit::LinesWith(core.Output(), "successfully started core version").size(),
                  1u);
    }
}

INSTANTIATE_TEST_SUITE_P(CoreLevels, SameUser,
                         ::testing::Values(LevelCase{-1, 2}, LevelCase{50, 2}, LevelCase{51, 1}),
                         [](const ::testing::TestParamInfo<LevelCase>& info) {
                             return info.param.coreLevel < 0
                                        ? std::string("Unset")
                                        : "Level" + std::to_string(info.param.coreLevel);
                         });

}  // namespace
