#include "common/JobToken.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/TDebuggable.h"

namespace {

// Tokens are held in a buffer of this size while built or parsed.
constexpr size_t kTokenBuffer = 128;

// A leading number as the C conversions read it; strtoul is used rather than
// sscanf because it defines the result of an overflowing field.
bool readNumber(const char* field, unsigned long long& out) {
    char* end = nullptr;
    unsigned long long v = std::strtoull(field, &end, 10);
    if (end == field)
        return false;
    out = v;
    return true;
}

} // namespace

std::string constructJobToken(long long jobId, unsigned long phase, unsigned long attempt,
                              unsigned long counter) {
    TDebuggable log;
    log.setDebugPrefix("::constructJobToken");
    if (phase == 0 || attempt == 0)
        log.debug(3, "Fake jobToken will be created.");
    char buf[kTokenBuffer];
    int n = std::snprintf(buf, sizeof buf, "%llu:%lu:%lu:%lu",
                          static_cast<unsigned long long>(jobId), phase, attempt, counter);
    if (n < 0 || static_cast<size_t>(n) >= sizeof buf) {
        log.debug(3, "sprintf failed during constructing job token.");
        return std::string();
    }
    return std::string(buf, static_cast<size_t>(n));
}

std::string constructJobToken(long long jobId, unsigned long phase, unsigned long attempt) {
    return constructJobToken(jobId, phase, attempt, 0);
}

bool parseJobToken(const char* token, long long& jobId, unsigned long& phase,
                   unsigned long& attempt, unsigned long& counter) {
    jobId = 0;
    phase = 0;
    attempt = 0;
    counter = 0;
    TDebuggable log;
    log.setDebugPrefix("::parseJobToken");
    if (!token) {
        log.debug(1, "ERROR: job token 'NULL' is received.");
        return false;
    }
    if (!*token) {
        log.debug(1, "ERROR: empty job token is received.");
        return false;
    }
    char text[kTokenBuffer];
    std::strncpy(text, token, sizeof text - 1);
    text[sizeof text - 1] = '\0';
    log.debug(3, "job token '%s' to be parsed.", text);

    char fields[kTokenBuffer];
    std::memcpy(fields, text, sizeof fields);
    unsigned long long v = 0;
    char* first = std::strchr(fields, ':');
    if (!first) {
        if (readNumber(fields, v))
            jobId = static_cast<long long>(v);
        else
            log.debug(1, "Invalid jobId");
        log.debug(1,
                  "warning: old format of job token received '%s'. Phase and attempt are set to "
                  "zero.",
                  text);
    } else {
        char* second = std::strchr(first + 1, ':');
        if (!second) {
            log.debug(1, "cannot detect attempt number in '%s'", text);
            return false;
        }
        *first = '\0';
        *second = '\0';
        char* third = std::strchr(second + 1, ':');
        if (third) {
            *third = '\0';
            if (char* fourth = std::strchr(third + 1, ':'))
                *fourth = '\0';
        }
        if (readNumber(fields, v))
            jobId = static_cast<long long>(v);
        else
            log.debug(1, "Invalid jobId");
        if (readNumber(first + 1, v))
            phase = static_cast<unsigned long>(v);
        else
            log.debug(1, "Invalid phaseNumber");
        if (readNumber(second + 1, v))
            attempt = static_cast<unsigned long>(v);
        else
            log.debug(1, "Invalid attemptNumber");
        if (third) {
            if (readNumber(third + 1, v))
                counter = static_cast<unsigned long>(v);
            else
                log.debug(1, "Invalid writeOpenCounter");
        }
    }
    log.debug(3, "job token '%s' is parsed.", text);
    return true;
}

bool parseJobToken(const char* token, long long& jobId, unsigned long& phase,
                   unsigned long& attempt) {
    unsigned long counter = 0;
    return parseJobToken(token, jobId, phase, attempt, counter);
}

long long getJobIdFromJobToken(const char* token) {
    long long jobId = 0;
    unsigned long phase = 0, attempt = 0, counter = 0;
    return parseJobToken(token, jobId, phase, attempt, counter) ? jobId : 0;
}
