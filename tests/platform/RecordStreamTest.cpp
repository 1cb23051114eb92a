// Reading record streams someone else wrote: a damaged field length.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/EvReturnData.h"
#include "support/TestSupport.h"

namespace {

// A field that claims 60 MiB and brings 3 bytes is refused without the
// reader taking 60 MiB first: in a child whose address space has only 32 MiB
// to spare, the parse ends in false instead of an allocation failure.
TEST(RecordStreamTest, AFieldLengthPastTheDataIsRefusedWithoutAllocatingIt) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory leaves no address space limit to set";
#else
    std::string stream(12, '\0');
    stream += std::string("\x01\0\0\0\0\0\xC0\x03", 8) + "abc"; // field 1, 60 MiB
    EXPECT_EQ(
        testsupport::runInChild([&] {
            unsigned long pages = 0;
            std::ifstream("/proc/self/statm") >> pages;
            const rlim_t spare = static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + (32u << 20);
            const rlimit limit{spare, spare};
            std::vector<EvReturnData::Stream> out;
            return ::setrlimit(RLIMIT_AS, &limit) == 0 && !EvReturnData::parseStreams(stream, out)
                       ? 0
                       : 1;
        }),
        0);
#endif
}

} // namespace
