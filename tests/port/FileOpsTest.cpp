// Single-file helpers: copy, recursive mkdir, tree removal and the safe wrappers.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "platform/EvEvent.h"
#include "port/FileOps.h"
#include "support/TestSupport.h"

using testsupport::exists;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

class FileOpsTest : public ::testing::Test {
protected:
    testsupport::ScratchHome home;
    std::string dir = home.sub("d", true);
};

TEST_F(FileOpsTest, CopyProducesExactBytesAndReportsFailures) {
    std::mt19937 gen(7);
    // Around the 1 MiB fallback buffer, and across filesystems (no copy_file_range).
    for (const std::string& target : {dir + "/out", std::string("/dev/shm/idxcache-copy")}) {
        for (size_t size : {size_t(4097), size_t(3 * (1 << 20) + 17)}) {
            SCOPED_TRACE(target + " " + std::to_string(size));
            std::string data(size, '\0');
            for (auto& c : data)
                c = static_cast<char>(gen());
            writeFile(dir + "/in", data);
            int error = -5;
            ASSERT_EQ(0, CXCopyFile((dir + "/in").c_str(), target.c_str(), &error));
            EXPECT_EQ(-5, error);
            EXPECT_EQ(data, readFile(target));
        }
    }
    ::unlink("/dev/shm/idxcache-copy");
    int error = 0;
    const std::vector<std::tuple<std::string, std::string, int>> failures = {
        {dir + "/none", dir + "/x", ENOENT},
        {dir + "/in", dir + "/no/x", ENOENT},
        {dir, dir + "/y", EISDIR},
        {dir + "/in", "/dev/full", ENOSPC},
    };
    for (const auto& [source, target, code] : failures) {
        SCOPED_TRACE(source + " -> " + target);
        EXPECT_EQ(-1, CXCopyFile(source.c_str(), target.c_str(), &error));
        EXPECT_EQ(code, error);
    }
}

} // namespace
