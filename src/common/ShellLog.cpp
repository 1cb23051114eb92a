// Console output of the interactive shell tool, mirrored into SHELL.LOG.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/TDebuggable.h"

extern "C" {

char m_shellIndexCache[1026] = "";

int idxIsprint(int c) {
    return c >= 32 && c <= 126;
}

} // extern "C"

namespace {

void appendToShellLog(const char* text) {
    if (m_shellIndexCache[0] == '\0')
        return;
    char path[1100];
    std::snprintf(path, sizeof path, "%s/SHELL.LOG", m_shellIndexCache);
    FILE* f = std::fopen(path, "ae");
    if (!f) {
        std::printf("Could not open file %s\n", path);
        return;
    }
    size_t len = std::strlen(text);
    if (std::fwrite(text, 1, len, f) != len || std::fflush(f) != 0)
        std::puts("Out of disk space in Index Cache Dir");
    std::fclose(f);
}

void putEscaped(const char* text, const char* escape) {
    std::string out = "'";
    char hex[16];
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text ? text : ""); *p;
         ++p) {
        if (idxIsprint(*p)) {
            out += static_cast<char>(*p);
        } else {
            std::snprintf(hex, sizeof hex, escape, *p);
            out += hex;
        }
    }
    out += "'";
    shellprintf("%s", out.c_str());
}

} // namespace

extern "C" {

void shellprintf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(&text[0], text.size() + 1, format, ap);
    va_end(ap);
    std::fputs(text.c_str(), stdout);
    appendToShellLog(text.c_str());
}

char* shellgets(char* buffer, int size) {
    if (!buffer || size <= 0 || !std::fgets(buffer, size, stdin))
        return nullptr;
    buffer[std::strcspn(buffer, "\r\n")] = '\0';
    std::string line = std::string(buffer) + "\n";
    appendToShellLog(line.c_str());
    return buffer;
}

void shellputString(const char* text) {
    putEscaped(text, "\\x%02X");
}

void __shellPutString(const char* text) {
    putEscaped(text, "\\x%04X");
}

} // extern "C"
