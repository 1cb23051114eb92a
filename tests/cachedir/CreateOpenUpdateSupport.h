// Helpers of the create, open and update tests: a cache directory whose
// restore can be scripted, snapshots of directory contents and children
// that run with their own process-wide settings.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "cachedir/CacheDirProbe.h"
#include "platform/OXPlatformInfo.h"

namespace createopen {

constexpr unsigned long kNow = 1700000000;
// A State file of a closed index last used a while ago.
constexpr const char* kClosed = "0\n1699990000    \n";

// A cache directory whose restore either fails as the library's own kinds do
// or brings back a directory with a given State file and one restored file.
class RestoringDir : public CacheDirProbe {
public:
    explicit RestoringDir(unsigned long timeStamp, long long jobId = 0,
                          const std::string& appIdName = "17")
        : CacheFsBase(1, TCacheTypeTape, false), CacheDirProbe(timeStamp, 1, jobId, appIdName) {}

    void restore(bool update, bool restoreWhenBlocked) override {
        calls.emplace_back(update, restoreWhenBlocked);
        const char* path = getCacheDir();
        if (!restoredState || !path)
            throw "restore exception";
        recursiveMkdir(path, 0777);
        if (*restoredState)
            testsupport::writeFile(std::string(path) + "/State", restoredState);
        testsupport::writeFile(std::string(path) + "/restored", "from media");
    }
    bool isComponentBasedIndex() override { return componentBased; }

    // (update, restore when blocked) of every restore call.
    std::vector<std::pair<bool, bool>> calls;
    // Null: restore fails. "": the directory comes back without a State file.
    const char* restoredState = nullptr;
    bool componentBased = false;
};

// Regular files below a directory, as "sub/name": their content, or
// "<N bytes>" above 1 MiB.
inline std::map<std::string, std::string> snapshot(const std::string& dir) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec);
         it != fs::recursive_directory_iterator(); ++it) {
        if (it->is_regular_file())
            out[it->path().lexically_relative(dir).string()] =
                it->file_size() > (1 << 20) ? "<" + std::to_string(it->file_size()) + " bytes>"
                                            : testsupport::readFile(it->path().string());
    }
    return out;
}

inline std::map<std::string, std::string> without(std::map<std::string, std::string> m,
                                                  const std::string& name) {
    m.erase(name);
    return m;
}

// A file of the given size that takes no room (its size is all that counts).
inline void writeSparse(const std::string& path, long long size) {
    testsupport::writeFile(path, "");
    if (::truncate(path.c_str(), size) != 0)
        std::perror("truncate");
}

// Runs fn in a child that starts its cache directories afresh: the keys are
// set (an empty value removes the key) before the first construction there.
inline int inFreshProcess(const std::vector<std::pair<std::string, std::string>>& depotKeys,
                          const std::function<int()>& fn) {
    return testsupport::runInChild([&] {
        for (const auto& kv : depotKeys) {
            if (kv.second.empty())
                platform::KeyStore::remove("Depot", kv.first);
            else
                platform::KeyStore::set("Depot", kv.first, kv.second);
        }
        CacheDirProbe::rearmFirstConstruction();
        return fn();
    });
}

} // namespace createopen
