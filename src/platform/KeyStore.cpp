#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/EvEvent.h"
#include "platform/OXClient.h"
#include "platform/OXPlatformInfo.h"
#include "platform/PlatformHome.h"

namespace platform {

namespace {

struct Line {
    enum Kind { Other, Section, Entry, Malformed } kind = Other;
    std::string raw;
    std::string section; // the section this line belongs to (or opens)
    std::string key;
    std::string value;
};

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r'))
        --e;
    return s.substr(b, e - b);
}

std::vector<Line> parse(const std::string& text) {
    std::vector<Line> lines;
    std::string current;
    bool haveSection = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string raw = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        Line l;
        l.raw = raw;
        std::string t = trim(raw);
        if (t.empty() || t[0] == '#' || t[0] == ';') {
            l.kind = Line::Other;
        } else if (t[0] == '[' && t.back() == ']' && t.size() > 2) {
            l.kind = Line::Section;
            current = t.substr(1, t.size() - 2);
            haveSection = true;
        } else {
            size_t eq = t.find('=');
            std::string key = eq == std::string::npos ? "" : trim(t.substr(0, eq));
            if (!haveSection || key.empty() || t.find('\0') != std::string::npos) {
                l.kind = Line::Malformed;
            } else {
                l.kind = Line::Entry;
                l.key = key;
                l.value = trim(t.substr(eq + 1));
            }
        }
        l.section = current;
        lines.push_back(std::move(l));
    }
    return lines;
}

struct Cache {
    std::mutex mu;
    bool valid = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {0, 0};
    std::string file;
    std::shared_ptr<const std::vector<Line>> lines;
};

std::atomic<unsigned long> writeGeneration{0};

Cache& cache() {
    static Cache* c = new Cache; // never destroyed: usable from static destructors
    return *c;
}

// Holds an flock on keystore.lock for a scope.
class StoreLock {
public:
    explicit StoreLock(int op) {
        std::string p = homePath("keystore.lock");
        fd_ = openCreating(p, O_RDWR, 0644);
        if (fd_ >= 0) {
            while (::flock(fd_, op) != 0 && errno == EINTR) {
            }
        }
    }
    ~StoreLock() {
        if (fd_ >= 0)
            ::close(fd_); // drops the flock
    }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    bool ok() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

bool readWhole(const std::string& path, std::string& out, struct stat& st) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return false;
    }
    out.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < out.size()) {
        ssize_t n = ::read(fd, &out[got], out.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    out.resize(got);
    ::close(fd);
    return true;
}

void warnMalformed(const std::string& file, const std::vector<Line>& lines) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind == Line::Malformed) {
            char head[64];
            std::snprintf(head, sizeof head, "%zu", i + 1);
            writeDebugLine(1, 0,
                           "KEYSTORE: skipped malformed line " + std::string(head) + " of " + file +
                               ": " + lines[i].raw.substr(0, 200));
        }
    }
}

using Lines = std::shared_ptr<const std::vector<Line>>;

// Current lines of the store, re-parsed only when the file changed.
bool sameFile(const Cache& c, const std::string& file, const struct stat& st) {
    return c.valid && c.file == file && c.dev == st.st_dev && c.ino == st.st_ino &&
           c.size == st.st_size && c.mtime.tv_sec == st.st_mtim.tv_sec &&
           c.mtime.tv_nsec == st.st_mtim.tv_nsec;
}

Lines readSnapshot() {
    std::string file = KeyStore::path();
    Lines result = std::make_shared<const std::vector<Line>>();
    bool reparsed = false;
    {
        // Writers replace the file by rename, so an unchanged identity means
        // the cached lines are still the whole file: no lock is needed to
        // use them. Only a changed file is read, under the shared lock.
        struct stat quick;
        if (::stat(file.c_str(), &quick) == 0) {
            Cache& c = cache();
            std::lock_guard<std::mutex> g(c.mu);
            if (sameFile(c, file, quick))
                return c.lines;
        }
    }
    {
        StoreLock lock(LOCK_SH);
        struct stat st;
        Cache& c = cache();
        if (::stat(file.c_str(), &st) != 0) {
            std::lock_guard<std::mutex> g(c.mu);
            c.valid = false;
            return result;
        }
        std::lock_guard<std::mutex> g(c.mu);
        if (sameFile(c, file, st))
            return c.lines;
        std::string text;
        if (!readWhole(file, text, st))
            return result;
        c.lines = std::make_shared<const std::vector<Line>>(parse(text));
        c.valid = true;
        c.file = file;
        c.dev = st.st_dev;
        c.ino = st.st_ino;
        c.size = st.st_size;
        c.mtime = st.st_mtim;
        result = c.lines;
        reparsed = true;
    }
    if (reparsed)
        warnMalformed(file, *result);
    return result;
}

// The thread's pinned view of the store (see KeyStore::Pin).
thread_local int pinDepth = 0;
thread_local Lines pinnedLines;
thread_local unsigned long pinnedGeneration = 0;

Lines snapshot() {
    if (pinDepth == 0)
        return readSnapshot();
    const unsigned long generation = writeGeneration.load();
    if (!pinnedLines || pinnedGeneration != generation) {
        pinnedLines = readSnapshot();
        pinnedGeneration = generation;
    }
    return pinnedLines;
}

std::string render(const std::vector<Line>& lines) {
    std::string out;
    for (const Line& l : lines) {
        out += l.raw;
        out += '\n';
    }
    return out;
}

bool writeAtomically(const std::string& file, const std::string& text) {
    std::string tmp = file + ".tmp." + std::to_string(::getpid());
    int fd = openCreating(tmp, O_WRONLY | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    if (::rename(tmp.c_str(), file.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

// Read-modify-write under the exclusive lock; edit returns false to abandon.
template <typename Edit> bool modify(Edit edit) {
    std::string file = KeyStore::path();
    StoreLock lock(LOCK_EX);
    if (!lock.ok())
        return false;
    std::string text;
    struct stat st;
    if (!readWhole(file, text, st) && errno != ENOENT)
        return false;
    std::vector<Line> lines = parse(text);
    if (!edit(lines))
        return false;
    bool ok = writeAtomically(file, render(lines));
    std::lock_guard<std::mutex> g(cache().mu);
    cache().valid = false;
    ++writeGeneration;
    return ok;
}

} // namespace

KeyStore::Pin::Pin() {
    ++pinDepth;
}

KeyStore::Pin::~Pin() {
    if (--pinDepth == 0)
        pinnedLines.reset();
}

std::string KeyStore::path() {
    return homePath("keystore.ini");
}

unsigned long KeyStore::generation() {
    return writeGeneration.load();
}

bool KeyStore::validNames(const std::string& section, const std::string& key) {
    return !key.empty() && key.find_first_of("=]\n\r") == std::string::npos &&
           section.find_first_of("\n\r]") == std::string::npos;
}

bool KeyStore::get(const std::string& section, const std::string& key, std::string& value) {
    if (!validNames(section, key))
        return false;
    Lines lines = snapshot();
    bool found = false;
    // The last occurrence wins, as a later line overrides an earlier one.
    for (const Line& l : *lines) {
        if (l.kind == Line::Entry && l.section == section && l.key == key) {
            value = l.value;
            found = true;
        }
    }
    return found;
}

bool KeyStore::set(const std::string& section, const std::string& key, const std::string& value) {
    if (!validNames(section, key) || value.find_first_of("\n\r") != std::string::npos)
        return false;
    return modify([&](std::vector<Line>& lines) {
        Line entry;
        entry.kind = Line::Entry;
        entry.section = section;
        entry.key = key;
        entry.value = value;
        entry.raw = key + " = " + value;
        long lastInSection = -1;
        bool replaced = false;
        for (size_t i = 0; i < lines.size(); ++i) {
            Line& l = lines[i];
            if (l.section != section || l.kind == Line::Other)
                continue;
            if (l.kind == Line::Entry && l.key == key) {
                l = entry;
                replaced = true;
            }
            lastInSection = static_cast<long>(i);
        }
        if (replaced)
            return true;
        if (lastInSection >= 0) {
            lines.insert(lines.begin() + lastInSection + 1, entry);
        } else {
            Line head;
            head.kind = Line::Section;
            head.section = section;
            head.raw = "[" + section + "]";
            lines.push_back(head);
            lines.push_back(entry);
        }
        return true;
    });
}

bool KeyStore::remove(const std::string& section, const std::string& key) {
    return modify([&](std::vector<Line>& lines) {
        size_t before = lines.size();
        std::vector<Line> kept;
        for (Line& l : lines) {
            if (!(l.kind == Line::Entry && l.section == section && l.key == key))
                kept.push_back(std::move(l));
        }
        lines.swap(kept);
        return lines.size() != before;
    });
}

std::vector<KeyEntry> KeyStore::list() {
    std::vector<KeyEntry> out;
    for (const Line& l : *snapshot()) {
        if (l.kind == Line::Entry)
            out.push_back({l.section, l.key, l.value});
    }
    return out;
}

bool KeyStore::parseNumber(const std::string& text, unsigned long long& out, bool allowSign) {
    std::string t = trim(text);
    bool negative = false;
    if (allowSign && !t.empty() && (t[0] == '-' || t[0] == '+')) {
        negative = t[0] == '-';
        t.erase(0, 1);
    }
    if (t.empty())
        return false;
    int base = 10;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        t.erase(0, 2);
    }
    for (char ch : t) {
        if (base == 10 ? !(ch >= '0' && ch <= '9') : !std::isxdigit(static_cast<unsigned char>(ch)))
            return false;
    }
    errno = 0;
    unsigned long long v = std::strtoull(t.c_str(), nullptr, base);
    if (errno == ERANGE)
        return false;
    out = negative ? static_cast<unsigned long long>(-static_cast<long long>(v)) : v;
    return true;
}

long long KeyStore::getNumberOr(const std::string& section, const std::string& key,
                                long long fallback) {
    std::string v;
    unsigned long long n;
    if (get(section, key, v) && parseNumber(v, n, true))
        return static_cast<long long>(n);
    return fallback;
}

std::string KeyStore::getStringOr(const std::string& section, const std::string& key,
                                  const std::string& fallback) {
    std::string v;
    return get(section, key, v) ? v : fallback;
}

} // namespace platform

using platform::KeyStore;

namespace {
bool lookUpNumber(const char* section, const char* key, unsigned long long& out, bool allowSign) {
    if (!section || !key)
        return false;
    std::string v;
    return KeyStore::get(section, key, v) && KeyStore::parseNumber(v, out, allowSign);
}
} // namespace

bool OXPlatformInfo::getNumber(const char* section, const char* key, unsigned long long* value) {
    unsigned long long n;
    if (!lookUpNumber(section, key, n, false))
        return false;
    *value = n;
    return true;
}

bool OXPlatformInfo::getNumber(const char* section, const char* key, unsigned long* value) {
    unsigned long long n;
    if (!lookUpNumber(section, key, n, false))
        return false;
    *value = static_cast<unsigned long>(n);
    return true;
}

bool OXPlatformInfo::getNumber(const char* section, const char* key, unsigned int* value) {
    unsigned long long n;
    if (!lookUpNumber(section, key, n, false))
        return false;
    *value = static_cast<unsigned int>(n);
    return true;
}

int OXPlatformInfo::getRegInt(const char* section, const char* key, int* value) {
    unsigned long long n;
    if (!lookUpNumber(section, key, n, true))
        return 0;
    *value = static_cast<int>(static_cast<long long>(n));
    return 1;
}

bool OXPlatformInfo::getString(const char* section, const char* key, char* buffer, int* length) {
    if (!section || !key || !buffer || !length || *length <= 0)
        return false;
    std::string v;
    if (!KeyStore::get(section, key, v))
        return false;
    size_t n = std::min(v.size(), static_cast<size_t>(*length - 1));
    std::memcpy(buffer, v.data(), n);
    buffer[n] = '\0';
    *length = static_cast<int>(n);
    return true;
}

bool OXPlatformInfo::getString(const char* section, const char* key, std::string& value) {
    return section && key && KeyStore::get(section, key, value);
}

int OXPlatformInfo::setRegInt(const char* section, const char* key, int value) {
    return section && key && KeyStore::set(section, key, std::to_string(value)) ? 0 : -1;
}

int OXPlatformInfo::setNumber(const char* section, const char* key, unsigned long value) {
    return section && key && KeyStore::set(section, key, std::to_string(value)) ? 0 : -1;
}

namespace {
std::mutex focusMu;
bool focusChosen = false;
std::string chosenFocus;
} // namespace

std::string OXPI_Focus::getFocus() {
    {
        std::lock_guard<std::mutex> g(focusMu);
        if (focusChosen)
            return chosenFocus;
    }
    return KeyStore::getStringOr(platform::kPlatformSection, "Focus", "Instance001");
}

void OXPI_Focus::setFocus(const char* instance) {
    std::lock_guard<std::mutex> g(focusMu);
    focusChosen = true;
    chosenFocus = instance ? instance : "";
}

std::string OXPI_Focus::getRemoteRealmFocus() {
    return KeyStore::getStringOr(platform::kPlatformSection, "RemoteRealmFocus", "");
}

void OXPI_Focus::doCrashThisProcess(bool dump, const char* reason) {
    platform::writeDebugLine(1, 0,
                             std::string("PLATFORM: doCrashThisProcess(") +
                                 (dump ? "true" : "false") + ", " + (reason ? reason : "NULL") +
                                 ") called");
}

std::string OXPlatformInfo::getPhysicalMachine() {
    return OXClient::getPhysicalMachine();
}

std::string OXPI_Focus::getFocusClientName(bool) {
    char host[256] = {0};
    if (::gethostname(host, sizeof host - 1) != 0)
        std::strcpy(host, "localhost");
    return KeyStore::getStringOr(platform::kPlatformSection, "FocusClient", host);
}

bool OXPI_Focus::AmIAService() {
    return KeyStore::getNumberOr(platform::kPlatformSection, "IsService", 0) != 0;
}
