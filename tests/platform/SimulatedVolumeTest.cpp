// A volume of chosen size over a directory, read through platform::env().statvfs.
#include <gtest/gtest.h>

#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/Env.h"
#include "platform/SimulatedVolume.h"
#include "support/TestSupport.h"

using testsupport::ScratchHome;
using testsupport::writeFile;

namespace {

struct Reading {
    int rc;
    unsigned long long blocks, bfree, bavail;
    unsigned long bsize, frsize;
};

Reading read(const std::string& path) {
    struct statvfs64 st {};
    Reading r{};
    r.rc = platform::env().statvfs(path.c_str(), &st);
    r.blocks = st.f_blocks;
    r.bfree = st.f_bfree;
    r.bavail = st.f_bavail;
    r.bsize = st.f_bsize;
    r.frsize = st.f_frsize;
    return r;
}

class SimulatedVolumeTest : public ::testing::Test {
protected:
    ScratchHome home;
    std::string root = home.sub("vol", true);
};

TEST_F(SimulatedVolumeTest, ReportsCapacityMinusStoredBytes) {
    platform::SimulatedVolume volume(root, 100 * 4096 + 123, 4096);
    Reading r = read(root);
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(4096u, r.bsize);
    EXPECT_EQ(4096u, r.frsize);
    EXPECT_EQ(100u, r.blocks);
    EXPECT_EQ(100u, r.bfree);
    EXPECT_EQ(100u, r.bavail);

    std::filesystem::create_directories(root + "/a/b");
    writeFile(root + "/a/b/f", std::string(4096 * 10 + 1, 'x'));
    writeFile(root + "/g", std::string(4096 * 5, 'y'));
    // (100*4096 + 123 - 15*4096 - 1) / 4096
    EXPECT_EQ(85u, read(root + "/a/b").bavail) << "any path below the root";
    EXPECT_EQ(85u, read(root + "/a/b/f").bfree);
    EXPECT_EQ(4096u * 15 + 1, volume.usedBytes());

    std::filesystem::remove(root + "/g");
    EXPECT_EQ(90u, read(root).bavail) << "removal frees at once";

    writeFile(root + "/huge", std::string(200 * 4096, 'z'));
    r = read(root);
    EXPECT_EQ(0u, r.bavail) << "never below zero";
    EXPECT_EQ(0u, r.bfree);
    EXPECT_EQ(100u, r.blocks);

    volume.setCapacity(1000 * 4096);
    EXPECT_EQ(1000u - 200 - 11, read(root).bavail);
}

TEST_F(SimulatedVolumeTest, OutsideTheRootAndMissingPathsAreReal) {
    struct statvfs64 real {};
    ASSERT_EQ(0, ::statvfs64("/", &real));
    platform::SimulatedVolume volume(root, 4096 * 3);
    EXPECT_EQ(real.f_blocks, read("/").blocks);
    const std::string sibling = home.sub("vol-sibling", true);
    EXPECT_EQ(real.f_blocks, read(sibling).blocks) << "a name sharing the root's prefix is outside";
    errno = 0;
    EXPECT_EQ(-1, read(root + "/missing").rc);
    EXPECT_EQ(ENOENT, errno);
}

TEST_F(SimulatedVolumeTest, LinksCountTheirOwnSizeAndLeadWhereTheyPoint) {
    const std::string outside = home.sub("outside", true);
    writeFile(outside + "/big", std::string(50 * 4096, 'b'));
    const std::string target = outside + "/big";
    ASSERT_EQ(0, ::symlink(target.c_str(), (root + "/link").c_str()));
    ASSERT_EQ(0, ::symlink(outside.c_str(), (root + "/dirlink").c_str()));
    platform::SimulatedVolume volume(root, 10 * 4096);
    EXPECT_EQ(target.size() + outside.size(), volume.usedBytes());
    EXPECT_EQ(9u, read(root).bavail);

    struct statvfs64 real {};
    ASSERT_EQ(0, ::statvfs64(outside.c_str(), &real));
    EXPECT_EQ(real.f_blocks, read(root + "/dirlink").blocks)
        << "a path through a link out of the root is outside";
}

TEST_F(SimulatedVolumeTest, SeesFilesWrittenByOtherProcesses) {
    platform::SimulatedVolume volume(root, 64 * 4096);
    testsupport::ProcessSignal written;
    testsupport::ProcessSignal checked;
    const pid_t child = testsupport::forkChild([&] {
        writeFile(root + "/from-child", std::string(8 * 4096, 'c'));
        written.post();
        if (!checked.wait())
            return 1;
        // The child inherited the volume and sees the parent's file too.
        return read(root).bavail == 64u - 8 - 4 ? 0 : 2;
    });
    ASSERT_TRUE(written.wait());
    EXPECT_EQ(56u, read(root).bavail);
    writeFile(root + "/from-parent", std::string(4 * 4096, 'p'));
    checked.post();
    EXPECT_EQ(0, testsupport::waitChild(child));
}

TEST_F(SimulatedVolumeTest, StacksWithAVirtualClockEitherWay) {
    struct statvfs64 real {};
    ASSERT_EQ(0, ::statvfs64(root.c_str(), &real));
    {
        platform::VirtualClock clock(5000);
        platform::SimulatedVolume volume(root, 8 * 4096);
        platform::sleepMs(1500);
        EXPECT_EQ((std::vector<unsigned long>{1500}), clock.waits()) << "sleeps reach the clock";
        EXPECT_EQ(5001, platform::now());
        EXPECT_EQ(8u, read(root).blocks);
    }
    {
        platform::SimulatedVolume volume(root, 8 * 4096);
        platform::VirtualClock clock(7000);
        platform::sleepMs(2000);
        EXPECT_EQ(7002, platform::now());
        EXPECT_EQ(8u, read(root).blocks) << "the clock passes statvfs down to the volume";
    }
    EXPECT_EQ(real.f_blocks, read(root).blocks) << "the real Env is back";
    EXPECT_GT(platform::now(), 1700000000);
}

} // namespace
