// A scratch platform home for the results classes: job results, index cache
// and temp directories of their own, and helpers over maps and files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "jobresults/LineMap.h"
#include "platform/OXPlatformInfo.h"
#include "support/TestSupport.h"

// Checks inside forked children: report the failed condition and leave the child.
#define CHILD_CHECK(cond)                                                                          \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);          \
            return 1;                                                                              \
        }                                                                                          \
    } while (0)

struct ResultsTest : ::testing::Test {
    testsupport::ScratchHome home;
    std::string jr = home.sub("jr", true);
    std::string tmp = home.sub("tmp", true);

    void SetUp() override {
        using platform::KeyStore;
        KeyStore::set(platform::kPlatformSection, "JobResultsDir", jr);
        KeyStore::set(platform::kPlatformSection, "IndexCacheDir", home.sub("idx", true));
        KeyStore::set(platform::kPlatformSection, "TempDir", tmp);
        KeyStore::set(platform::kPlatformSection, "PlatformType", "4");
        KeyStore::set(platform::kPlatformSection, "FocusClient", "client1");
        KeyStore::set(platform::kPlatformSection, "DebugLevel", "3");
    }

    // The results directory of a job of realm 2, application 0.
    std::string jobDir(unsigned long long job) const {
        return jr + "/OX_JobResults/2/0/" + std::to_string(job & 0xFFFFFFFFull);
    }
};

// The offsets a map file holds.
inline std::vector<uint64_t> mapOffsets(const std::string& path) {
    const std::string bytes = testsupport::readFile(path);
    std::vector<uint64_t> out;
    for (size_t i = 0; i + jobresults::kMapEntrySize <= bytes.size();
         i += jobresults::kMapEntrySize)
        out.push_back(
            jobresults::decodeMapEntry(reinterpret_cast<const unsigned char*>(&bytes[i])));
    return out;
}
