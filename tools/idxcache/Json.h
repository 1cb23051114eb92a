// The --json outputs: one document on stdout, keys in the order they were set.
#pragma once

#include <cstdio>

#include <nlohmann/json.hpp>

namespace cli {

// Names and paths are bytes: one that is not UTF-8 is printed with U+FFFD
// in place of the bad bytes rather than failing the command.
inline void printJsonDocument(const nlohmann::ordered_json& document) {
    std::printf(
        "%s\n",
        document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
}

} // namespace cli
