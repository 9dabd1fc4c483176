#include "core/arguments.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

Arguments Scan(std::vector<const char*> args) {
    args.insert(args.begin(), "dvrcore");
    return ScanArguments(static_cast<int>(args.size()), args.data());
}

TEST(ArgumentScan, NoArgumentMeansNoSupervisor) {
    const Arguments a = Scan({});
    EXPECT_FALSE(a.help);
    EXPECT_EQ(a.descriptor, -1);
}

TEST(ArgumentScan, HelpIsAnyArgumentStartingWithDashH) {
    for (const char* help : {"-h", "-help", "-hx"}) EXPECT_TRUE(Scan({help}).help) << help;
    for (const char* other : {"--help", "-", "-v", "-x"}) {
        const Arguments a = Scan({other});
        EXPECT_FALSE(a.help) << other;
        EXPECT_EQ(a.descriptor, -1) << other;
    }
}

TEST(ArgumentScan, FirstNonOptionIsTheDescriptorAndEndsTheScan) {
    EXPECT_EQ(Scan({"-v", "7", "8"}).descriptor, 7);
    const Arguments helpAfter = Scan({"5", "-h"});
    EXPECT_FALSE(helpAfter.help);
    EXPECT_EQ(helpAfter.descriptor, 5);
}

TEST(ArgumentScan, DescriptorConvertsLikeAtoi) {
    EXPECT_EQ(Scan({"abc"}).descriptor, 0);
    EXPECT_EQ(Scan({""}).descriptor, 0);
    EXPECT_EQ(Scan({" 12xyz"}).descriptor, 12);
    EXPECT_EQ(Scan({"+3"}).descriptor, 3);
}

}  // namespace
