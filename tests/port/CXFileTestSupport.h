// Helpers shared by the buffered-file tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <functional>
#include <string>

#include "platform/Env.h"
#include "port/CXFile.h"
#include "support/TestSupport.h"

// Named, not anonymous: the fixture must be one type in every translation unit.
namespace cxfiletest {

// A virtual clock that lets a test act at the n-th sleep (1-based).
class HookClock : public platform::VirtualClock {
public:
    std::function<void(size_t)> onSleep;
    void sleepMs(unsigned long ms) override {
        VirtualClock::sleepMs(ms);
        if (onSleep)
            onSleep(waits().size());
    }
};

inline off_t sizeOnDisk(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

inline std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('A' + i % 53);
    return s;
}

class CXFileTest : public ::testing::Test {
protected:
    testsupport::ScratchHome home;
    std::string path = home.sub("file");

    void openWith(CXFile& f, const std::string& content, unsigned int bufSize = 0,
                  sfOpenMode_t mode = sfOpenReadWrite) {
        testsupport::writeFile(path, content);
        ASSERT_EQ(f.open(path.c_str(), mode), 0);
        if (bufSize) {
            ASSERT_EQ(f.setBufSize(bufSize), 0);
        }
    }
};

} // namespace cxfiletest
