// Once-per-process settings read by the first cache directory object.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "cachedir/CacheDirProbe.h"

using platform::KeyStore;

namespace {

constexpr unsigned long kTs = 1700000000;

struct PreInitTest : CacheDirFixture {};

TEST_F(PreInitTest, SpaceSaverIsReadOncePerProcess) {
    struct Case {
        const char* value; // nullptr: absent
        bool copy;
        unsigned long threshold;
    };
    const Case cases[] = {
        {nullptr, true, 2048}, {"YES", false, 2048}, {"yes", false, 2048}, {"y", false, 2048},
        {"Y", false, 2048},    {"500", true, 500},   {"no", true, 2048},   {"maybe", true, 2048},
    };
    for (const Case& c : cases) {
        if (c.value)
            KeyStore::set("Depot", "sSPACESAVER", c.value);
        else
            KeyStore::remove("Depot", "sSPACESAVER");
        // Each child stands for a fresh process whose first object reads the key.
        int rc = testsupport::runInChild([&] {
            CacheDirProbe::rearmFirstConstruction();
            CacheDirProbe first(kTs);
            if (first.getCopyUponUpdate() != c.copy)
                return 1;
            if (IndexCacheDirBase::getStaticCopyUponUpdateFlag() != c.copy ||
                IndexCacheDirBase::getCopyUponUpdateThreshold() != c.threshold)
                return 2;
            CacheDirProbe synthetic(kTs, 1, 0, "17", BackupTypeSyntheticFull);
            if (!synthetic.getCopyUponUpdate())
                return 3;
            // The key is not read again by later objects of the process.
            KeyStore::set("Depot", "sSPACESAVER", c.copy ? "YES" : "700");
            CacheDirProbe later(kTs);
            if (later.getCopyUponUpdate() != c.copy ||
                IndexCacheDirBase::getCopyUponUpdateThreshold() != c.threshold)
                return 4;
            return 0;
        });
        EXPECT_EQ(rc, 0) << (c.value ? c.value : "absent");
    }
}

} // namespace
