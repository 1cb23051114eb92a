#include "port/CXTempFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/OXPI.h"
#include "port/CXProcessId.h"

namespace {
constexpr int kMaxSuffix = 999999;
} // namespace

CXTempFile::CXTempFile() {
    std::snprintf(name_, sizeof name_, "%s", "Uninitialized");
}

int CXTempFile::failWith(int code) {
    lastError_ = code;
    std::snprintf(name_, sizeof name_, "%s", "Error");
    return -1;
}

int CXTempFile::create(const char* prefix) {
    std::snprintf(name_, sizeof name_, "%s", "Error");
    std::string dir;
    if (!OXPI_Base::getOrbitTempDirectory(dir))
        return failWith(kErrNoTempDir);
    CXProcessId self;
    self.thisProcess();
    const char* id = self.getIdString();
    if (!id)
        return failWith(kErrNoProcessId);
    std::string idText = id;
    for (char& c : idText) {
        if (c == '/')
            c = '_';
    }

    char base[kNameSize];
    int n = std::snprintf(base, sizeof base, "%s%c%s_%s", dir.c_str(), '/', prefix ? prefix : "",
                          idText.c_str());
    // A cut name could match another prefix's files.
    if (n < 0 || static_cast<size_t>(n) >= sizeof base)
        return failWith(ENAMETOOLONG);

    for (int i = 0; i <= kMaxSuffix; ++i) {
        n = std::snprintf(name_, sizeof name_, "%s_%d", base, i);
        if (n < 0 || static_cast<size_t>(n) >= sizeof name_)
            return failWith(ENAMETOOLONG);
        if (open(name_, sfOpenCreateNew, 0, 0) == 0)
            return 0;
        if (lastError_ != EEXIST)
            return failWith(lastError_);
    }
    return failWith(EEXIST);
}
