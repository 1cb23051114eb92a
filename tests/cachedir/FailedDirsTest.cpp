// Directories left by failed jobs, and the clean-up log lines of removals.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "cachedir/LifecycleSupport.h"
#include "platform/Env.h"
#include "platform/EvEvent.h"

using platform::KeyStore;
using testsupport::exists;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

constexpr unsigned long kTs = 1700000000;

struct FailedDirsTest : CacheDirFixture {
    std::string appDir = root + "/2/17";

    // A closed index directory with a file below a subdirectory.
    void makeIndex(const std::string& path, const char* state = "0\n1700000100    \n") const {
        mkdirs(path + "/sub");
        if (state)
            writeFile(path + "/State", state);
        writeFile(path + "/table.dat", "rows");
        writeFile(path + "/sub/part.dat", "more rows");
    }
    // The entries of a directory, sorted.
    static std::vector<std::string> entries(const std::string& dir) {
        std::vector<std::string> out;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir, ec))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(FailedDirsTest, RemovesTheDirectoriesNewerThanTheLastGoodOneButTheKeptOne) {
    struct Case {
        unsigned long after, kept;
        std::vector<std::string> left;
    };
    // A name past 2^31 is a time stamp like any other.
    const Case cases[] = {
        {150, 300, {"100", "300", "tmp_1"}},
        {150, 0, {"100", "tmp_1"}},
        {200, 200, {"100", "200", "tmp_1"}},
        {0, 0, {"tmp_1"}},
        {300, 0, {"100", "200", "300", "tmp_1"}},
        {150, 3000000000ul, {"100", "3000000000", "tmp_1"}},
        {3000000000ul, 0, {"100", "200", "300", "3000000000", "tmp_1"}},
    };
    for (const Case& c : cases) {
        for (const char* t : {"100", "200", "300", "3000000000"})
            makeIndex(appDir + "/" + t);
        makeIndex(appDir + "/tmp_1");
        auto dir = make(0);
        dir->cleanFailedCachedirs(c.after, c.kept, false);
        std::vector<std::string> left = entries(appDir);
        EXPECT_EQ(left, c.left) << c.after << "/" << c.kept;
        EXPECT_EQ(dir->getCacheDir(), nullptr);
        std::filesystem::remove_all(appDir);
    }
}

} // namespace
