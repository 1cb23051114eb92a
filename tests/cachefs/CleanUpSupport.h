// Cache directories laid out by hand for the clean-up tests, and a fixture
// with an index root and a job-results root.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/EvEvent.h"
#include "platform/OXPlatformInfo.h"
#include "port/FileOps.h"
#include "support/TestSupport.h"

namespace cleanup {

constexpr long long kNow = 1700000000; // the start of every virtual clock here
constexpr long long kDay = 86400;
constexpr unsigned long long kMB = 1024 * 1024;

inline std::string dirOf(const std::string& root, unsigned long realm, const std::string& app,
                         unsigned long timeStamp) {
    return root + "/" + std::to_string(realm) + "/" + app + "/" + std::to_string(timeStamp);
}

// <root>/<realm>/<app>/<timeStamp> holding a "data" file of payload bytes
// (sparse: a simulated volume counts its size) and, unless atime is negative,
// a State file with state 0 and that access time.
inline std::string layCacheDir(const std::string& root, unsigned long realm, const std::string& app,
                               unsigned long timeStamp, long long atime,
                               unsigned long long payload = 100) {
    const std::string path = dirOf(root, realm, app, timeStamp);
    recursiveMkdir(path.c_str(), 0777);
    if (atime >= 0)
        testsupport::writeFile(path + "/State", "0\n" + std::to_string(atime) + "    \n");
    testsupport::writeFile(path + "/data", "");
    if (::truncate((path + "/data").c_str(), static_cast<off_t>(payload)) != 0)
        ADD_FAILURE() << "cannot size " << path << "/data";
    return path;
}

// The arguments of each raised event with this number.
inline std::vector<std::vector<std::string>> eventArgs(const platform::TestSink& sink,
                                                       unsigned int number) {
    std::vector<std::vector<std::string>> out;
    for (const platform::CapturedEvent& e : sink.events()) {
        if (e.number == number) {
            out.emplace_back();
            for (const EvEvent::Argument& a : e.args)
                out.back().push_back(a.value);
        }
    }
    return out;
}
using Args = std::vector<std::vector<std::string>>;

struct Fixture : ::testing::Test {
    testsupport::ScratchHome home;
    std::string idx = home.sub("idx", true);
    std::string jrBase = home.sub("jr", true);
    std::string root = idx + "/OX_Index";
    std::string jrRoot = jrBase + "/OX_JobResults";

    void SetUp() override {
        using platform::KeyStore;
        KeyStore::set(platform::kPlatformSection, "IndexCacheDir", idx);
        KeyStore::set(platform::kPlatformSection, "JobResultsDir", jrBase);
        KeyStore::set(platform::kPlatformSection, "FocusClient", "client1");
        KeyStore::set("idxcache.clients", "client1", "42");
    }
};

} // namespace cleanup
