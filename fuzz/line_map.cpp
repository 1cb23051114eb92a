// The line map of a job's results file: 5-byte entries a page reader trusts
// to find line starts, and a writer checks and rebuilds before it appends.
// Input: the line and page size of a page, the number of map entries, the
// entries, then the results file. After an append the map must be in step
// with the file.
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "jobresults/LineMap.h"
#include "jobresults/RetrieveResults.h"
#include "jobresults/StoreResults.h"
#include "platform/Env.h"
#include "platform/PlatformHome.h"

namespace {

constexpr long long kJob = 77;

// The line starts of a narrow file as the line reader counts lines.
std::string referenceMap(const std::string& text) {
    std::string out;
    unsigned char e[jobresults::kMapEntrySize];
    for (size_t start = 0; start < text.size();) {
        const size_t lf = text.find('\n', start);
        if (lf == std::string::npos && text.compare(start, std::string::npos, "\r") == 0)
            break;
        jobresults::encodeMapEntry(start, e);
        out.append(reinterpret_cast<char*>(e), sizeof e);
        if (lf == std::string::npos)
            break;
        start = lf + 1;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static platform::VirtualClock clock(1700000000); // a page's pauses take no time
    static const std::string dir = [] {
        const std::string jr = fuzzsupport::path("jr");
        platform::KeyStore::set(platform::kPlatformSection, "JobResultsDir", jr);
        platform::KeyStore::set(platform::kPlatformSection, "TempDir", fuzzsupport::path("tmp"));
        platform::KeyStore::set(platform::kPlatformSection, "PlatformType", "4");
        const std::string d = jr + "/OX_JobResults/2/0/" + std::to_string(kJob);
        platform::makeDirs(d);
        platform::makeDirs(fuzzsupport::path("tmp"));
        return d;
    }();
    fuzzsupport::dropLogs();
    if (size < 3 || size - 3 < jobresults::kMapEntrySize * data[2])
        return 0;
    const size_t mapBytes = jobresults::kMapEntrySize * data[2];
    const char* rest = reinterpret_cast<const char*>(data) + 3;
    fuzzsupport::writeFile(dir + "/1.map", rest, mapBytes);
    fuzzsupport::writeFile(dir + "/backup.out", rest + mapBytes, size - 3 - mapBytes);
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
        CQiSocket socket(fds[0]);
        RetrieveResults reader(2, kJob, RF_BACKUP, "client1", 0);
        reader.getPage(7, data[0], data[1], &socket, nullptr, 0);
        ::close(fds[0]);
        ::close(fds[1]);
    }
    StoreResults writer(2, kJob, false, "client1");
    if (writer.openFile(RF_BACKUP, true, false) == 0 && writer.putLine("appended", true) == 0 &&
        writer.closeFile() == 0)
        fuzzsupport::check(fuzzsupport::readFile(dir + "/1.map") ==
                               referenceMap(fuzzsupport::readFile(dir + "/backup.out")),
                           "an appended file's map is in step with it");
    return 0;
}
