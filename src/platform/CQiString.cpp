#include "platform/CQiString.h"

#include <cstring>

std::vector<std::string> CQiString::Tokenize(const char* delimiters, char openQuote,
                                             char closeQuote, char escape, size_t maxTokens) const {
    const char* delims = delimiters ? delimiters : "";
    std::vector<std::string> tokens;
    std::string current;
    bool quoted = false;
    for (size_t i = 0; i < text_.size(); ++i) {
        char c = text_[i];
        if (escape != '\0' && c == escape && i + 1 < text_.size()) {
            current += text_[++i];
        } else if (quoted) {
            if (c == closeQuote)
                quoted = false;
            else
                current += c;
        } else if (openQuote != '\0' && c == openQuote) {
            quoted = true;
        } else if (c != '\0' && std::strchr(delims, c) != nullptr) {
            tokens.push_back(std::move(current));
            current.clear();
            if (maxTokens != 0 && tokens.size() == maxTokens)
                return tokens;
        } else {
            current += c;
        }
    }
    tokens.push_back(std::move(current));
    return tokens;
}
