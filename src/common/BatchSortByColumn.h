// The sort engine's order extended with a comparison on one delimited column
// of each line.
#pragma once

#include <cstdint>
#include <string>

#include "common/TDebuggable.h"
#include "platform/BatchSort.h"

class BatchSortByColumn : public BatchSort {
public:
    // Column types; any other value compares whole lines.
    enum ColumnType : uint32_t {
        kColumnDecimal = 1, // unsigned decimal
        kColumnHex = 2,     // hexadecimal, 64-bit
        kColumnText = 3,
    };

    // columnNumber counts from 1; delimiters: any of these characters ends a column.
    BatchSortByColumn(uint32_t columnNumber, const char* delimiters, uint32_t columnType,
                      uint64_t value);

    // Columns of decimal or hexadecimal type compare by value (an unreadable
    // value counts as 0), smaller first when ascending and larger first
    // otherwise; equal values, and equal text columns, fall back to the whole
    // lines in byte order. Text columns and whole lines follow the direction.
    int cmpFunc(const char* line1, const char* line2) override;
    // The column's text: split with '"' quotes and '\' escapes; empty when the
    // line has fewer columns.
    std::string getColumnFromString(const char* line) const;

    uint32_t getColumnNumber() const { return columnNumber_; }
    uint64_t getValue() const { return value_; }

    // "123", " +123 " read; "-5", "12x", "" and values past 64 bits do not.
    static bool parseDecimal(const std::string& text, unsigned long long& value);
    // "ff", "0xFF" read; values past 64 bits do not.
    static bool parseHex(const std::string& text, unsigned long long& value);

private:
    // Logs one of the four invalid-value texts once per sort, not per comparison.
    void invalid(unsigned which);
    int byValue(bool ok1, bool ok2, unsigned long long v1, unsigned long long v2,
                unsigned firstMessage, const char* line1, const char* line2);

    TDebuggable log_;
    uint32_t columnNumber_;
    std::string delimiters_;
    uint32_t columnType_;
    uint64_t value_;
    unsigned invalidLogged_ = 0;
};
