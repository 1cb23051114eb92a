#include "port/TFileAccessTest.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>

#include "port/CXDirectory.h"

namespace {

constexpr size_t kBufferSize = 65536;

const char* const kOpenReason = "' - could not open file with error ";
const char* const kCloseReason = "' - could not close file with error ";
const char* const kUnlinkReason = "' - could not unlink file with error ";
const char* const kAllocReason = "' - could not allocate buffer with error ";
const char* const kWriteReason = "' - could not write buffer with error ";
const char* const kReadReason = "' - could not read buffer with error ";

// Cuts path at its last "/"; false when there is none.
bool toParent(std::string& path) {
    const size_t cut = path.rfind('/');
    if (cut == std::string::npos)
        return false;
    path.erase(cut);
    return true;
}

std::unique_ptr<char[]> allocateBuffer() {
    errno = 0;
    // The content written does not matter; zeroed so it is at least defined.
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBufferSize]());
    if (!buffer && errno == 0)
        errno = ENOMEM;
    return buffer;
}

} // namespace

TFileAccessTest::TFileAccessTest(const std::string& path) : path_(path) {}

TFileAccessTest::~TFileAccessTest() = default;

void TFileAccessTest::setTestData(int size, char* data) {
    testDataSize_ = size;
    testData_ = data;
}

void TFileAccessTest::failed(const char* test, const std::string& path, const char* reason,
                             int error) {
    log_ += test;
    log_ += " failed for '";
    log_ += path;
    log_ += reason;
    log_ += std::to_string(error);
    log_ += "\n";
}

bool TFileAccessTest::listFolder(const std::string& path) {
    CXDirectory dir;
    if (dir.open(path.c_str()) != 0) {
        failed("Test_DirContent", path, kOpenReason, dir.getLastError());
        return false;
    }
    log_ += "Content of '" + path + "'. Start list:\n";
    while (const char* name = dir.read()) {
        log_ += "        '";
        log_ += name;
        log_ += "'\n";
    }
    log_ += "Content of '" + path + "'. End list.\n";
    if (dir.getLastError() != 0) {
        // An interrupted listing shows less than the folder holds.
        failed("Test_DirContent", path, kReadReason, dir.getLastError());
        return false;
    }
    log_ += "Test_DirContent succeeded. ";
    return true;
}

bool TFileAccessTest::internalRun(const std::string& path, unsigned int tests, bool listing) {
    bool ok = true;
    const char* name = path.c_str();

    bool exists = false;
    if (tests & (TestExists | TestRead | TestDirContent)) {
        exists = ::access(name, F_OK) == 0;
        if (exists) {
            log_ += "Test_Exists succeeded. ";
        } else {
            log_ += "Test_Exists failed for '" + path + "'\n";
            ok = false;
        }
    }

    if ((tests & TestDirContent) && listing && exists && !listFolder(path))
        ok = false;

    if (tests & TestCreate) {
        bool passed = false;
        if (FILE* f = std::fopen(name, "wbe")) {
            if (std::fclose(f) != 0)
                failed("Test_Createable", path, kCloseReason, errno);
            else if (::unlink(name) != 0)
                failed("Test_Createable", path, kUnlinkReason, errno);
            else
                passed = true;
        } else {
            failed("Test_Createable", path, kOpenReason, errno);
        }
        if (passed)
            log_ += "Test_Createable succeeded. ";
        else
            ok = false;
    }

    bool written = false;
    if (tests & TestWrite) {
        if (FILE* f = std::fopen(name, "wbe")) {
            written = true;
            if (!hasTestData()) {
                std::unique_ptr<char[]> buffer = allocateBuffer();
                if (!buffer) {
                    failed("Test_Writeable", path, kAllocReason, errno);
                    written = false;
                } else {
                    errno = 0;
                    if (std::fwrite(buffer.get(), 1, kBufferSize, f) != kBufferSize) {
                        failed("Test_Writeable", path, kWriteReason, errno);
                        written = false;
                    }
                }
            }
            // Buffered data reaches the file here, so a full disk shows now.
            if (std::fclose(f) != 0) {
                failed("Test_Writeable", path, kCloseReason, errno);
                written = false;
            }
        } else {
            failed("Test_Writeable", path, kOpenReason, errno);
        }
        if (!written)
            ok = false;
    }

    if (tests & TestRead) {
        bool passed = false;
        if (FILE* f = std::fopen(name, "rbe")) {
            passed = true;
            if (!hasTestData()) {
                std::unique_ptr<char[]> buffer = allocateBuffer();
                if (!buffer) {
                    failed("Test_Readable", path, kAllocReason, errno);
                    passed = false;
                } else {
                    errno = 0;
                    if (std::fread(buffer.get(), 1, 1, f) != 1) {
                        failed("Test_Readable", path, kReadReason, errno);
                        passed = false;
                    }
                }
            }
            if (std::fclose(f) != 0) {
                failed("Test_Readable", path, kCloseReason, errno);
                passed = false;
            }
        } else {
            failed("Test_Readable", path, kOpenReason, errno);
        }
        if (passed)
            log_ += "Test_Readable succeeded. ";
        else
            ok = false;
    }

    if (written) {
        if (::unlink(name) != 0) {
            failed("Test_Writeable", path, kUnlinkReason, errno);
            ok = false;
        } else {
            log_ += "Test_Writeable succeeded. ";
        }
    }
    return ok;
}

bool TFileAccessTest::run(unsigned int tests, bool recursive) {
    ++runNumber_;
    char number[16];
    std::snprintf(number, sizeof number, "%d", runNumber_);
    log_ += "\nRun #";
    log_ += number;
    if (recursive)
        log_ += " (recursive)";
    log_ += ". Test set: ";
    if (tests & TestExists)
        log_ += "Exists ";
    if (tests & TestRead)
        log_ += "Read ";
    if (tests & TestDirContent)
        log_ += "DirContent ";
    if (tests & TestWrite)
        log_ += "Write ";
    if (tests & TestCreate)
        log_ += "Create ";
    log_ += "\n";

    bool foldersPassed = true;
    if (recursive) {
        // Each folder above the path must exist; below a missing one the
        // listing of the nearest folder that exists shows what is there.
        unsigned int folderTests = TestExists;
        bool listing = true;
        std::string folder = path_;
        while (toParent(folder)) {
            if (internalRun(folder, folderTests, listing)) {
                listing = false;
            } else {
                foldersPassed = false;
                folderTests |= TestDirContent;
            }
        }
        if (foldersPassed)
            log_ += "Folder test passed\n";
    }

    const bool filePassed = internalRun(path_, tests, false);
    if (!filePassed && !recursive) {
        std::string folder = path_;
        while (toParent(folder)) {
            if (internalRun(folder, TestDirContent, true))
                break;
        }
    }
    if (filePassed)
        log_ += "File test(s) passed\n";

    passed_ = foldersPassed && filePassed;
    return passed_;
}

extern "C" bool TFileAccessTest_runSingleTest(const char* path, TDebuggable* log) {
    TFileAccessTest test(path ? path : "");
    const bool passed = test.run(TFileAccessTest::kStandardSet, false);
    const std::string report = test.getLog();
    if (passed) {
        if (log)
            log->debug(1, "All tests are passed. log=%s", report.c_str());
        else
            std::printf("All tests are passed. log=%s", report.c_str());
    } else {
        if (log)
            log->debug(1, "File access test failed:\n%s", report.c_str());
        else
            std::printf("File access test failed:\n%s", report.c_str());
    }
    return passed;
}
