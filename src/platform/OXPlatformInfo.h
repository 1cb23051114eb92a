// Stand-in for the platform key store: <home>/keystore.ini.
//
// The file holds sections and keys:
//   # comment
//   [Depot]
//   nINDEXINGBUSYTIMEOUT = 30
//   [~Machines\client1]
//   key = value
// Section names are taken verbatim (everything between the brackets); keys
// and values are trimmed of surrounding blanks; matching is case-sensitive.
// Numbers are decimal, or hexadecimal with a 0x prefix. A line that is none
// of these is skipped with a warning in the debug log.
//
// Readers take a shared lock on keystore.lock, writers an exclusive one and
// replace the file atomically (temporary file, then rename), so a reader
// never sees half a file and concurrent writers never lose each other's keys.
//
// Platform facts live in the section "idxcache.platform" (see kPlatformSection).
#pragma once

#include <string>
#include <vector>

namespace platform {

constexpr const char* kPlatformSection = "idxcache.platform";

struct KeyEntry {
    std::string section;
    std::string key;
    std::string value;
};

class KeyStore {
public:
    // The file behind the store.
    static std::string path();
    // The value of section/key; false when absent.
    static bool get(const std::string& section, const std::string& key, std::string& value);
    // Sets section/key to value (adds the section and key when missing).
    static bool set(const std::string& section, const std::string& key, const std::string& value);
    // Removes section/key; false when it was absent or the store could not be written.
    static bool remove(const std::string& section, const std::string& key);
    // Every entry in file order.
    static std::vector<KeyEntry> list();
    // Numeric look-up with a default, for the platform's own facts.
    static long long getNumberOr(const std::string& section, const std::string& key,
                                 long long fallback);
    static std::string getStringOr(const std::string& section, const std::string& key,
                                   const std::string& fallback);
    // Counts the writes made by this process (lets callers cache look-ups).
    static unsigned long generation();
    // Whether section and key can name an entry: a section holds no "]", CR
    // or LF, a key is not empty and holds no "=", "]", CR or LF. Reads and
    // writes with other names fail, so a caller's text cannot forge a line.
    static bool validNames(const std::string& section, const std::string& key);
    // Parses a decimal or 0x-hexadecimal number; false when the text is not one.
    static bool parseNumber(const std::string& text, unsigned long long& out, bool allowSign);

    // While a pin lives, look-ups of its thread answer from the store as it
    // was at the first look-up under the outermost pin (or as this process
    // wrote it since), without asking the file system whether the file has
    // changed: an operation that builds thousands of objects reading the same
    // keys reads the store once. Changes made by other processes show at the
    // next operation.
    class Pin {
    public:
        Pin();
        ~Pin();
        Pin(const Pin&) = delete;
        Pin& operator=(const Pin&) = delete;
    };
};

} // namespace platform

// The per-client section of the platform's machine keys ("Machines\\<client>",
// one backslash), distinct from "~Machines\\<client>" of the path settings.
inline std::string machinesSection(const std::string& clientName) {
    return "Machines\\" + clientName;
}

class OXPlatformInfo {
public:
    OXPlatformInfo() = default;

    bool getNumber(const char* section, const char* key, unsigned long long* value);
    bool getNumber(const char* section, const char* key, unsigned long* value);
    bool getNumber(const char* section, const char* key, unsigned int* value);
    // 1 when the key exists (value written), 0 otherwise.
    int getRegInt(const char* section, const char* key, int* value);
    // length: the buffer capacity in, the length of the value copied out.
    bool getString(const char* section, const char* key, char* buffer, int* length);
    bool getString(const char* section, const char* key, std::string& value);
    int setRegInt(const char* section, const char* key, int value);
    int setNumber(const char* section, const char* key, unsigned long value);
    // This machine's name (see OXClient::getPhysicalMachine).
    static std::string getPhysicalMachine();
};

class OXPI_Focus {
public:
    // The platform instance this process works for; empty means no focus.
    // Key "Focus" of the platform section, default "Instance001", unless
    // setFocus chose another one in this process.
    static std::string getFocus();
    static void setFocus(const char* instance);
    // The client name of the focus (key "FocusClient", default the host name).
    static std::string getFocusClientName(bool mangled = false);
    // The realm focus of a remote realm this process serves (key
    // "RemoteRealmFocus", default empty: none).
    static std::string getRemoteRealmFocus();
    // The platform's diagnostic hook for a process that lost its focus: it
    // only records the call in the debug log and returns.
    static void doCrashThisProcess(bool dump, const char* reason);
    // Whether this process runs as the platform's service (key "IsService", default 0).
    static bool AmIAService();
};
