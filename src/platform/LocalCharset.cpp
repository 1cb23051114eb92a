#include "platform/LocalCharset.h"

std::string localToUtf(const std::string& text) {
    return text;
}

int ConvertUnicodeToUtf8(const wchar_t* in, char* out, size_t outSize) {
    if (!out || outSize == 0)
        return -1;
    size_t n = 0;
    out[0] = '\0';
    if (!in)
        return 0;
    for (; *in; ++in) {
        const unsigned long c = static_cast<unsigned long>(*in);
        unsigned char seq[4];
        size_t k;
        if (c < 0x80) {
            seq[0] = static_cast<unsigned char>(c);
            k = 1;
        } else if (c < 0x800) {
            seq[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
            seq[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            k = 2;
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF)
                return -1;
            seq[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
            seq[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            seq[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            k = 3;
        } else if (c <= 0x10FFFF) {
            seq[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
            seq[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            seq[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            seq[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            k = 4;
        } else {
            return -1;
        }
        if (n + k >= outSize)
            return -1;
        for (size_t i = 0; i < k; ++i)
            out[n++] = static_cast<char>(seq[i]);
        out[n] = '\0';
    }
    return static_cast<int>(n);
}
