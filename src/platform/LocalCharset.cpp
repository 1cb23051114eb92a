#include "platform/LocalCharset.h"

std::string localToUtf(const std::string& text) {
    return text;
}
