// A failure inside resume: a message (optional) and a code telling the
// caller's log which step gave up.
#pragma once

#include <string>

class TInternalException {
public:
    explicit TInternalException(int code) : code_(code) {}
    TInternalException(std::string message, int code)
        : message_(std::move(message)), code_(code), messageSet_(true) {}

    bool isMessageSet() const { return messageSet_; }
    const std::string& getMessage() const { return message_; }
    int getErrorCode() const { return code_; }

private:
    std::string message_;
    int code_ = 0;
    bool messageSet_ = false;
};
