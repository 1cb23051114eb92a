// Checks whether the process can use a path (exists, create, write, read,
// list) and writes a readable report instead of stopping at the first
// problem; a recursive run also walks up the parent folders to show where
// access breaks. The Create and Write tests overwrite and remove the path, so
// callers test a scratch name.
#pragma once

#include <cstdint>
#include <string>

#include "common/TDebuggable.h"

class TFileAccessTest {
public:
    enum : unsigned int {
        TestExists = 0x01,
        TestWrite = 0x02,
        TestRead = 0x04,
        TestCreate = 0x08,
        TestDirContent = 0x10,
    };
    // Exists, Write, Read and Create.
    static constexpr unsigned int kStandardSet = 15;

    explicit TFileAccessTest(const std::string& path);
    ~TFileAccessTest();
    TFileAccessTest(const TFileAccessTest&) = delete;
    TFileAccessTest& operator=(const TFileAccessTest&) = delete;

    // Caller-owned data; while set, the write and read tests open and close
    // the file without transferring data.
    void setTestData(int size, char* data);
    bool run(unsigned int tests, bool recursive);
    bool internalRun(const std::string& path, unsigned int tests, bool listFolder);
    std::string getLog() const { return log_; }

private:
    void failed(const char* test, const std::string& path, const char* reason, int error);
    bool hasTestData() const { return testData_ && testDataSize_ > 0; }
    bool listFolder(const std::string& path);

    std::string path_;
    std::string log_;
    bool passed_ = true;
    int32_t runNumber_ = 0;
    int32_t testDataSize_ = 0;
    char* testData_ = nullptr;
};

// Runs the standard set on one path and logs the report through log (at
// level 1), or prints it when log is null. True when every test passed.
extern "C" bool TFileAccessTest_runSingleTest(const char* path, TDebuggable* log);
