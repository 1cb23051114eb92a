#include "platform/C7zip.h"

#include <bzlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/FdIo.h"
#include "platform/OXPlatformInfo.h"

namespace {

using platform::writeAll;

constexpr unsigned long long kDefaultSizeCap = 4ull << 30;
constexpr size_t kChunk = 1 << 16;

std::atomic<unsigned long> tempCounter{0};

// Closes a descriptor at the end of a scope.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

// Decompresses every bzip2 stream of in into out, at most cap bytes.
bool inflate(int in, int out, unsigned long long cap, std::string& error) {
    std::vector<char> input(kChunk), output(kChunk);
    bz_stream bz;
    std::memset(&bz, 0, sizeof bz);
    if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK) {
        error = "cannot start bzip2 decompression";
        return false;
    }
    unsigned long long total = 0;
    bool ok = true, streamOpen = true, sawData = false;
    for (;;) {
        if (bz.avail_in == 0) {
            ssize_t n = ::read(in, input.data(), input.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error = std::string("read failed: ") + std::strerror(errno);
                ok = false;
                break;
            }
            if (n == 0) {
                if (streamOpen || !sawData) {
                    error = "truncated compressed log";
                    ok = false;
                }
                break;
            }
            bz.next_in = input.data();
            bz.avail_in = static_cast<unsigned>(n);
        }
        if (!streamOpen) {
            // Another stream follows a complete one (concatenated archives).
            BZ2_bzDecompressEnd(&bz);
            char* nextIn = bz.next_in;
            unsigned availIn = bz.avail_in;
            std::memset(&bz, 0, sizeof bz);
            if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK) {
                error = "cannot start bzip2 decompression";
                return false;
            }
            bz.next_in = nextIn;
            bz.avail_in = availIn;
            streamOpen = true;
        }
        bz.next_out = output.data();
        bz.avail_out = static_cast<unsigned>(output.size());
        int rc = BZ2_bzDecompress(&bz);
        if (rc != BZ_OK && rc != BZ_STREAM_END) {
            error = "corrupt compressed log (bzip2 error " + std::to_string(rc) + ")";
            ok = false;
            break;
        }
        sawData = true;
        const size_t produced = output.size() - bz.avail_out;
        total += produced;
        if (total > cap) {
            error = "extracted log exceeds " + std::to_string(cap) + " bytes";
            ok = false;
            break;
        }
        if (produced && !writeAll(out, output.data(), produced)) {
            error = std::string("write failed: ") + std::strerror(errno);
            ok = false;
            break;
        }
        if (rc == BZ_STREAM_END)
            streamOpen = false;
    }
    BZ2_bzDecompressEnd(&bz);
    return ok;
}

} // namespace

C7zip::C7zip(const std::string& home, int format) : home_(home), format_(format) {}

unsigned long long C7zip::getSizeCap() const {
    return static_cast<unsigned long long>(platform::KeyStore::getNumberOr(
        platform::kPlatformSection, "ExtractLimit", static_cast<long long>(kDefaultSizeCap)));
}

int C7zip::Initialize(std::string& error) {
    if (home_.empty()) {
        error = "no home directory";
        return 1;
    }
    initialized_ = true;
    return 0;
}

int DeCompressLogFile(const std::string& sourceDir, const std::string& fileName,
                      const std::string& destination, C7zip* extractor,
                      const std::string& folderName, std::string& error) {
    if (!extractor || !extractor->isInitialized()) {
        error = "archiver not initialised";
        return 1;
    }
    const size_t slash = destination.rfind('/');
    if (slash == std::string::npos || slash + 1 >= destination.size()) {
        error = "bad destination '" + destination + "'";
        return 1;
    }
    const std::string folder = destination.substr(0, slash);
    const std::string name = destination.substr(slash + 1);
    if (folder.size() < folderName.size() ||
        folder.compare(folder.size() - folderName.size(), folderName.size(), folderName) != 0) {
        error = "destination '" + destination + "' is not in " + folderName;
        return 1;
    }
    Fd dir;
    dir.fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir.fd < 0) {
        error = "cannot open folder '" + folder + "': " + std::strerror(errno);
        return 1;
    }
    Fd in;
    const std::string source = sourceDir + "/" + fileName;
    in.fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in.fd < 0) {
        error = "cannot open '" + source + "': " + std::strerror(errno);
        return 1;
    }
    const std::string temp = name + ".part_" + std::to_string(::getpid()) + "_" +
                             std::to_string(tempCounter.fetch_add(1));
    Fd out;
    out.fd =
        ::openat(dir.fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (out.fd < 0) {
        error = "cannot create '" + folder + "/" + temp + "': " + std::strerror(errno);
        return 1;
    }
    bool ok = inflate(in.fd, out.fd, extractor->getSizeCap(), error);
    if (ok && ::close(out.fd) != 0) {
        error = std::string("close failed: ") + std::strerror(errno);
        ok = false;
    }
    out.fd = -1;
    if (ok && ::renameat(dir.fd, temp.c_str(), dir.fd, name.c_str()) != 0) {
        error = "cannot rename into '" + destination + "': " + std::strerror(errno);
        ok = false;
    }
    if (!ok)
        ::unlinkat(dir.fd, temp.c_str(), 0);
    return ok ? 0 : 1;
}
