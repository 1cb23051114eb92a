// A clean-up removes only below the root it scanned: a catalog-server root
// beside the plain index cache, a local intermediate cache beside its share.
#include <gtest/gtest.h>

#include <string>

#include "cachefs/CleanUpSupport.h"
#include "cachefs/JobResultsCacheFs.h"
#include "platform/Env.h"

using cleanup::dirOf;
using cleanup::kNow;
using cleanup::layCacheDir;
using testsupport::exists;

namespace {

using CleanUpRootsTest = cleanup::Fixture;

TEST_F(CleanUpRootsTest, OnlyTheScannedRootsDirectoriesAreRemoved) {
    const std::string share = home.sub("share", true);
    const std::string local = home.sub("local", true);
    struct Case {
        const char* name;
        bool intermediate;           // else the catalog-server form
        std::string scanned, beside; // cache roots
    };
    const Case cases[] = {
        {"catalog server", false, idx + "/CatalogServer/OX_Index", idx + "/OX_Index"},
        {"intermediate cache", true, local + "/OX_Index", share + "/OX_Index"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.intermediate) {
            platform::KeyStore::set(platform::kPlatformSection, "IndexCacheDir", share);
            platform::KeyStore::set("~Machines\\client1", "sLOCALINDEXCACHEPATH", local);
        }
        layCacheDir(c.scanned, 2, "17", 100, 100);
        layCacheDir(c.beside, 2, "17", 100, 100);
        platform::VirtualClock clock(kNow);
        JobResultsCacheFs fs(1, TCacheTypeTape, false);
        fs.setCatalogServerCache(!c.intermediate);
        fs.setUseIntermediateCache(c.intermediate);
        fs.initialize("client1");
        ASSERT_STREQ(fs.getCacheFs(), c.scanned.c_str());
        fs.setNumDays(0);
        EXPECT_EQ(fs.cleanUp(0, true, false, false, 0, nullptr, 0, 0, nullptr, 0), 1);
        EXPECT_FALSE(exists(dirOf(c.scanned, 2, "17", 100)));
        EXPECT_TRUE(exists(dirOf(c.beside, 2, "17", 100) + "/State")) << "not this root's";
    }
}

} // namespace
