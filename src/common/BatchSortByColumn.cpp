#include "common/BatchSortByColumn.h"

#include <cctype>
#include <cstring>

#include "platform/CQiString.h"

namespace {

const char* const kInvalidTexts[] = {"Invalid ul1", "Invalid ul2", "Invalid ull1", "Invalid ull2"};

int sign(int c) {
    return (c > 0) - (c < 0);
}

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// Reads the digits of the base from text[i..] up to trailing blanks; false
// without a digit, on another character, or past 64 bits.
bool parseDigits(const std::string& text, size_t i, unsigned base, unsigned long long& value) {
    value = 0;
    size_t start = i;
    for (; i < text.size() && !blank(text[i]); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        unsigned d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && std::isxdigit(c))
            d = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
        else
            return false;
        if (value > (~0ULL - d) / base)
            return false;
        value = value * base + d;
    }
    if (i == start)
        return false;
    while (i < text.size() && blank(text[i]))
        ++i;
    return i == text.size();
}

size_t skipBlanks(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && blank(text[i]))
        ++i;
    return i;
}

} // namespace

BatchSortByColumn::BatchSortByColumn(uint32_t columnNumber, const char* delimiters,
                                     uint32_t columnType, uint64_t value)
    : columnNumber_(columnNumber), delimiters_(delimiters ? delimiters : ""),
      columnType_(columnType), value_(value) {
    log_.setDebugPrefix("BATCHSORTBYCOLUMN");
}

bool BatchSortByColumn::parseDecimal(const std::string& text, unsigned long long& value) {
    size_t i = skipBlanks(text);
    if (i < text.size() && text[i] == '+')
        ++i;
    return parseDigits(text, i, 10, value);
}

bool BatchSortByColumn::parseHex(const std::string& text, unsigned long long& value) {
    size_t i = skipBlanks(text);
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X'))
        i += 2;
    return parseDigits(text, i, 16, value);
}

std::string BatchSortByColumn::getColumnFromString(const char* line) const {
    if (columnNumber_ == 0)
        return std::string();
    std::vector<std::string> columns =
        CQiString(line).Tokenize(delimiters_.c_str(), '"', '"', '\\', columnNumber_);
    return columns.size() >= columnNumber_ ? columns[columnNumber_ - 1] : std::string();
}

void BatchSortByColumn::invalid(unsigned which) {
    if (invalidLogged_ & (1u << which))
        return;
    invalidLogged_ |= 1u << which;
    log_.debug(1, "%s", kInvalidTexts[which]);
}

int BatchSortByColumn::byValue(bool ok1, bool ok2, unsigned long long v1, unsigned long long v2,
                               unsigned firstMessage, const char* line1, const char* line2) {
    if (!ok1) {
        invalid(firstMessage);
        v1 = 0;
    }
    if (!ok2) {
        invalid(firstMessage + 1);
        v2 = 0;
    }
    if (v1 == v2)
        return sign(std::strcmp(line1, line2));
    if (isAscending())
        return v1 < v2 ? -1 : 1;
    return v1 > v2 ? -1 : 1;
}

int BatchSortByColumn::cmpFunc(const char* line1, const char* line2) {
    int direction = isAscending() ? 1 : -1;
    if (columnType_ < kColumnDecimal || columnType_ > kColumnText)
        return direction * sign(std::strcmp(line1, line2));
    std::string c1 = getColumnFromString(line1);
    std::string c2 = getColumnFromString(line2);
    unsigned long long v1 = 0, v2 = 0;
    switch (columnType_) {
    case kColumnDecimal: {
        bool ok1 = parseDecimal(c1, v1), ok2 = parseDecimal(c2, v2);
        return byValue(ok1, ok2, v1, v2, 0, line1, line2);
    }
    case kColumnHex: {
        bool ok1 = parseHex(c1, v1), ok2 = parseHex(c2, v2);
        return byValue(ok1, ok2, v1, v2, 2, line1, line2);
    }
    default: {
        int c = sign(c1.compare(c2));
        return c != 0 ? direction * c : sign(std::strcmp(line1, line2));
    }
    }
}
