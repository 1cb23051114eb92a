// A volume of chosen size over a directory, read through platform::env().statvfs.
#include <gtest/gtest.h>

#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/Env.h"
#include "platform/SimulatedVolume.h"
#include "support/TestSupport.h"

using testsupport::writeFile;

namespace {

unsigned long long avail(const std::string& path, unsigned long long* blocks = nullptr) {
    struct statvfs64 st {};
    if (platform::env().statvfs(path.c_str(), &st) != 0)
        return ~0ull;
    if (blocks)
        *blocks = st.f_blocks;
    return st.f_bavail;
}

TEST(SimulatedVolumeTest, CapacityMinusStoredBytesSeenByEveryProcess) {
    testsupport::ScratchHome home;
    const std::string root = home.sub("vol", true);
    const std::string outside = home.sub("vol-sibling", true);
    ASSERT_EQ(0, ::symlink(outside.c_str(), (root + "/dirlink").c_str()));
    struct statvfs64 real {};
    ASSERT_EQ(0, ::statvfs64(outside.c_str(), &real));
    platform::VirtualClock clock(5000);
    platform::SimulatedVolume volume(root, 100 * 4096 + 123 + outside.size(), 4096);
    unsigned long long blocks = 0;
    EXPECT_EQ(100u, avail(root, &blocks));
    EXPECT_EQ(100u, blocks);
    std::filesystem::create_directories(root + "/a/b");
    writeFile(root + "/a/b/f", std::string(4096 * 10 + 1, 'x'));
    writeFile(root + "/g", std::string(4096 * 5, 'y'));
    EXPECT_EQ(85u, avail(root + "/a/b/f"));
    std::filesystem::remove(root + "/g");
    EXPECT_EQ(90u, avail(root));
    // Outside the root, through a link out of it, and missing paths are real.
    avail(outside, &blocks);
    EXPECT_EQ(real.f_blocks, blocks);
    avail(root + "/dirlink", &blocks);
    EXPECT_EQ(real.f_blocks, blocks);
    EXPECT_EQ(~0ull, avail(root + "/missing"));
    platform::sleepMs(1500); // the clock below still counts
    EXPECT_EQ(5001, platform::now());

    testsupport::ProcessSignal written;
    const pid_t child = testsupport::forkChild([&] {
        writeFile(root + "/from-child", std::string(200 * 4096, 'c'));
        written.post();
        return 0;
    });
    ASSERT_TRUE(written.wait());
    EXPECT_EQ(0, testsupport::waitChild(child));
    EXPECT_EQ(0u, avail(root)); // never below zero
    volume.setCapacity(1000 * 4096);
    EXPECT_EQ(1000u - 200 - 11, avail(root));
}

} // namespace
