// Stand-in for the platform's string class, as far as the library uses it:
// cutting a line into tokens.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class CQiString {
public:
    explicit CQiString(const char* text) : text_(text ? text : "") {}

    // Splits the text at any of the delimiter characters; every delimiter ends
    // a token, so two in a row give an empty token and a text of n delimiters
    // gives n + 1 tokens. Between openQuote and closeQuote delimiters are plain
    // characters and the quotes are dropped; an unclosed quote runs to the end.
    // The escape character makes the next character plain (inside quotes too)
    // and is dropped; an escape at the very end is kept. Stops after maxTokens
    // tokens (0: no limit). A quote or escape of '\0' is not used.
    std::vector<std::string> Tokenize(const char* delimiters, char openQuote, char closeQuote,
                                      char escape, size_t maxTokens = 0) const;

    const std::string& str() const { return text_; }

private:
    std::string text_;
};
