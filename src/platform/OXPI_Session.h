// Stand-in for the platform's session object: which platform instance (focus)
// a session works for and the host it runs on.
//
// Platform section ("idxcache.platform"):
//   SessionHostName   the session's host name (default: the system host
//                     name); an empty value means the platform cannot name
//                     the host.
// A session that was not pointed at a focus, or was pointed at an empty one,
// names no host.
#pragma once

#include <string>

class OXPI_Session {
public:
    OXPI_Session() = default;

    // Points the session at a platform instance; false for an empty focus.
    bool setFocus(const std::string& focus);
    const std::string& getFocus() const { return focus_; }
    // The host name, or empty when the session has no focus or the platform
    // cannot name the host.
    std::string getHostName() const;

private:
    std::string focus_;
};
