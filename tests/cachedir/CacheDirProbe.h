// A test cache directory that also lets tests reach the lock table, the path
// and the once-per-process settings, plus a fixture with a configured cache root.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cachedir/TestIndexCacheDir.h"
#include "platform/EvEvent.h"
#include "platform/OXPlatformInfo.h"
#include "port/FileOps.h"
#include "support/TestSupport.h"

class CacheDirProbe : public TestIndexCacheDir {
public:
    explicit CacheDirProbe(unsigned long timeStamp, OXAppType appType = 1, long long jobId = 0,
                           const std::string& appIdName = "17",
                           BackupType backupType = BackupTypeFull)
        : CacheFsBase(appType, TCacheTypeTape, false),
          TestIndexCacheDir(appType, 2, appIdName, jobId, backupType, timeStamp) {}

    void usePath(const std::string& path) { setCacheDirPath(path.c_str()); }
    // What a fresh process starts with: the first construction reads the
    // process-wide settings again.
    static void rearmFirstConstruction() { firstConstructionFlag = true; }
};

// Arguments of the events with this number, in order.
inline std::vector<std::string> eventArgs(const platform::TestSink& sink, unsigned int number) {
    std::vector<std::string> out;
    for (const platform::CapturedEvent& e : sink.events()) {
        if (e.number != number)
            continue;
        for (const EvEvent::Argument& a : e.args)
            out.push_back(a.value);
    }
    return out;
}

struct CacheDirFixture : ::testing::Test {
    testsupport::ScratchHome home;
    std::string idx = home.sub("idx", true);
    std::string root = idx + "/OX_Index";

    void SetUp() override {
        platform::KeyStore::set(platform::kPlatformSection, "IndexCacheDir", idx);
        platform::KeyStore::set(platform::kPlatformSection, "FocusClient", "client1");
    }

    std::unique_ptr<CacheDirProbe> make(unsigned long timeStamp, OXAppType appType = 1,
                                        long long jobId = 0) {
        auto dir = std::make_unique<CacheDirProbe>(timeStamp, appType, jobId);
        dir->initialize("client1");
        return dir;
    }

    // root/2/17/<timeStamp>
    std::string dirPath(unsigned long timeStamp) const {
        return root + "/2/17/" + std::to_string(timeStamp);
    }
    std::string statePath(unsigned long timeStamp) const { return dirPath(timeStamp) + "/State"; }
    // Makes the directory with the given State file content.
    void makeDir(unsigned long timeStamp, const std::string& state) const {
        mkdirs(dirPath(timeStamp));
        testsupport::writeFile(statePath(timeStamp), state);
    }
    static void mkdirs(const std::string& path) { recursiveMkdir(path.c_str(), 0777); }
};
