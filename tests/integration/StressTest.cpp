// Several processes share one cache root on a small disk: backups create and
// update, browses open, clean-ups remove. Whatever a process holds must stay
// whole while it holds it, and the root must be consistent afterwards.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cachedir/JobResultsCacheDir.h"
#include "platform/Env.h"
#include "platform/OXPlatformInfo.h"
#include "platform/SimulatedVolume.h"
#include "port/CXFile.h"
#include "support/TestSupport.h"

namespace {

constexpr unsigned long kRealm = 2;
constexpr unsigned long long kKiB = 1024;

std::unique_ptr<JobResultsCacheDir> makeDir(unsigned long app, long long job) {
    auto d = std::make_unique<JobResultsCacheDir>(1, kRealm, app, job, BackupTypeIncremental, 0,
                                                  TCacheTypeTape, false);
    d->initialize("stress");
    return d;
}

// Every file the holder wrote is still there with its size.
bool intact(const std::string& dir, int files) {
    for (int i = 0; i < files; ++i) {
        std::error_code ec;
        auto size = std::filesystem::file_size(dir + "/f" + std::to_string(i), ec);
        if (ec || size != 64 * kKiB)
            return false;
    }
    return true;
}

bool writeFiles(JobResultsCacheDir& d, const std::string& dir, int files) {
    std::string block(64 * kKiB, 'x');
    for (int i = 0; i < files; ++i) {
        if (d.reserve(block.size(), kRealm, d.getAppIdName().c_str(),
                      static_cast<unsigned>(d.getTimeStamp())) < 0)
            return false;
        testsupport::writeFile(dir + "/f" + std::to_string(i), block);
    }
    return true;
}

// Real time and real waits (the workers really wait for each other's
// locks), with a clock that a worker moves on between its rounds so each
// backup gets a later time stamp than the one before.
class SteppingClock : public platform::Env {
public:
    SteppingClock() : previous_(platform::setEnv(this)) {}
    ~SteppingClock() override { platform::setEnv(previous_); }
    SteppingClock(const SteppingClock&) = delete;
    SteppingClock& operator=(const SteppingClock&) = delete;
    time_t now() override { return ::time(nullptr) + offset_; }
    int statvfs(const char* path, struct statvfs64* out) override {
        return previous_ ? previous_->statvfs(path, out) : Env::statvfs(path, out);
    }
    void step() { offset_ += 60; }

private:
    long offset_ = 0;
    platform::Env* previous_;
};

// One worker: rounds of backup, browse and clean-up. Answers 0, or the
// number of the check that failed.
int worker(int id, int workers, int rounds, SteppingClock& clock) {
    long long job = 1000 * (id + 1);
    const unsigned long app = 100 + id;
    const unsigned long neighbour = 100 + (id + 1) % workers;
    for (int r = 0; r < rounds; ++r) {
        clock.step();
        // Backup: update the latest index, or create the first one.
        {
            auto d = makeDir(app, ++job);
            const char* p = d->update(false, 0, false);
            if (!p) {
                d = makeDir(app, job);
                p = d->create(0);
            }
            if (p) {
                std::string dir = p;
                if (!writeFiles(*d, dir, 3))
                    return 10;
                if (!intact(dir, 3))
                    return 11; // removed under its writer
                if (d->close(false) != 0)
                    return 12;
            }
        }
        // Browse the newest complete index of another worker's application.
        {
            auto d = makeDir(neighbour, 0);
            if (const char* p = d->open(0, false)) {
                std::string dir = p;
                bool whole = std::filesystem::exists(dir + "/State");
                if (d->close(false) != 0)
                    return 21;
                if (!whole)
                    return 20; // removed under its reader
            }
        }
        // Clean-up of everything old and unused.
        {
            JobResultsCacheFs fs(1, TCacheTypeTape, false);
            fs.initialize("stress");
            fs.setNumDays(0);
            if (fs.cleanUp(0, true, false, true, 0, nullptr, 0, 0, nullptr, 0) < 0)
                return 30;
        }
    }
    return 0;
}

TEST(StressTest, BackupsBrowsesAndCleanUpsShareOneRoot) {
    testsupport::ScratchHome home;
    std::string idx = home.sub("idx", true);
    platform::KeyStore::set(platform::kPlatformSection, "IndexCacheDir", idx);
    platform::KeyStore::set(platform::kPlatformSection, "FocusClient", "stress");
    platform::KeyStore::set("Depot", "sDISABLERESERVE", "no");
    platform::SimulatedVolume volume(idx, 48ull * 1024 * kKiB, 4096);

    const int kWorkers = 4, kRounds = 6;
    std::vector<pid_t> pids;
    for (int w = 0; w < kWorkers; ++w) {
        pids.push_back(testsupport::forkChild([=] {
            SteppingClock clock;
            return worker(w, kWorkers, kRounds, clock);
        }));
    }
    for (pid_t p : pids)
        EXPECT_EQ(testsupport::waitChild(p), 0);

    // Every remaining State parses and nothing is left locked.
    const std::string root = idx + "/OX_Index";
    int dirs = 0;
    auto decimal = [](const std::filesystem::directory_entry& e) {
        std::string n = e.path().filename().string();
        return e.is_directory() && CacheFsBase::isDecimal(n.c_str());
    };
    for (auto& realm : std::filesystem::directory_iterator(root)) {
        if (!decimal(realm))
            continue;
        for (auto& app : std::filesystem::directory_iterator(realm.path())) {
            for (auto& ts : std::filesystem::directory_iterator(app.path())) {
                if (!decimal(ts))
                    continue;
                ++dirs;
                std::string state = testsupport::readFile(ts.path().string() + "/State");
                unsigned digit = 9;
                unsigned long atime = 0;
                EXPECT_EQ(std::sscanf(state.c_str(), "%1u\n%lu", &digit, &atime), 2)
                    << ts.path() << " State '" << state << "'";
                EXPECT_LE(digit, 3u) << ts.path();
                CXFile f;
                ASSERT_EQ(f.open((ts.path().string() + "/State").c_str(), sfOpenReadWrite), 0);
                EXPECT_EQ(f.lock(sfLockExclusive, 0), 1) << ts.path() << " is still locked";
            }
        }
    }
    EXPECT_GT(dirs, 0);
}

} // namespace
