#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "jobresults/ResultsSupport.h"
#include "jobresults/RetrieveResults.h"
#include "platform/OXPlatformInfo.h"
#include "platform/PlatformHome.h"

namespace {

struct RemoteTest : ResultsTest {};

TEST_F(RemoteTest, RequestTextAndHosts) {
    EXPECT_EQ(WDRetrieveResults(2, 1234, RF_BACKUP, "h", 0).requestText(7, 51, 50),
              "2 1234 1 7 51 50 ");
    EXPECT_EQ(WDRetrieveResults(2, 1234, RF_RESTORE, "h", 9).requestText(7, -1, 50),
              "2 1234 2 7 -1 50 9");
    platform::TestSink sink;
    EXPECT_EQ(WDRetrieveResults(2, 1, RF_BACKUP, nullptr, 0).getPage(1, 1, 1), 1);
    EXPECT_EQ(testsupport::countContaining(sink, "getPage: no host name"), 1);
    EXPECT_EQ(WDRetrieveResults(2, 1, RF_BACKUP, "far", 0).getPage(1, 1, 1), 1);
    EXPECT_EQ(
        testsupport::countContaining(
            sink, "OXSession to far failed with code host 'far' is not known to this platform"),
        1);
}

TEST_F(RemoteTest, LocalHostRunsThePageProgramWithTheRequest) {
    const std::string fifo = home.sub("request.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string dir = platform::productDirectory();
    platform::makeDirs(dir);
    const std::string program = dir + "/" + WDRetrieveResults::kProgram;
    std::ofstream(program) << "#!/bin/sh\necho \"$*\" > " << fifo << "\n";
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
    platform::KeyStore::set("idxcache.remote", "node7", "local");
    EXPECT_EQ(WDRetrieveResults(2, 1234, RF_BACKUP, "node7", 3).getPage(7, 51, 50), 0);
    std::ifstream in(fifo); // the program's write ends the wait
    std::string got;
    std::getline(in, got);
    EXPECT_EQ(got, "2 1234 1 7 51 50 3");
}

} // namespace
