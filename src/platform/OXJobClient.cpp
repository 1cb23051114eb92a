#include "platform/OXJobClient.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/Env.h"
#include "platform/EvEvent.h"
#include "platform/OXPlatformInfo.h"
#include "platform/PlatformHome.h"

std::string OXJobClient::jobSetting(long long jobId) {
    std::string value;
    platform::KeyStore::get(kJobsSection, std::to_string(jobId), value);
    return value;
}

// One write per line so that lines of concurrent processes never interleave.
void OXJobClient::record(const std::string& text) {
    time_t t = platform::now();
    struct tm tmv;
    char stamp[32] = "0000-00-00 00:00:00";
    if (::localtime_r(&t, &tmv))
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tmv);
    std::string line = std::string(stamp) + " " + std::to_string(static_cast<long>(::getpid())) +
                       " " + text + "\n";
    std::string file = platform::homePath("logs", true) + "/jobs.log";
    int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t rc;
    do {
        rc = ::write(fd, line.data(), line.size());
    } while (rc < 0 && errno == EINTR);
    ::close(fd);
}

int OXJobClient::init(const std::string& warden, long long jobId, int platformType) {
    warden_ = warden;
    jobId_ = jobId;
    record("INIT job=" + std::to_string(jobId) + " warden=" + warden +
           " platform=" + std::to_string(platformType));
    initialised_ = !warden.empty() && jobSetting(jobId) != "unknown";
    return initialised_ ? 1 : 0;
}

int OXJobClient::setPendingCause(unsigned int messageId, int messageType,
                                 const std::vector<std::string>& args) {
    if (!initialised_ || jobSetting(jobId_) == "frozen")
        return 0;
    char head[96];
    std::snprintf(head, sizeof head, "PENDING job=%lld msg=0x%08X type=%d args=%zu", jobId_,
                  messageId, messageType, args.size());
    std::string text = head;
    for (const std::string& a : args)
        text += " [" + a + "]";
    record(text);
    platform::capturePendingCause({jobId_, messageId, messageType, args});
    return 1;
}

int OXBkpJobClient::init(const std::string& warden, long long jobId, int a, int b, int c, int d) {
    warden_ = warden;
    jobId_ = jobId;
    char tail[64];
    std::snprintf(tail, sizeof tail, " %d %d %d %d", a, b, c, d);
    record("BKPINIT job=" + std::to_string(jobId) + " warden=" + warden + tail);
    initialised_ = !warden.empty() && jobSetting(jobId) != "unknown";
    return initialised_ ? 1 : 0;
}

int OXBkpJobClient::complete(int status, int scope, int c, int d) {
    if (!initialised_ || jobSetting(jobId_) == "frozen")
        return 0;
    char text[96];
    std::snprintf(text, sizeof text, "COMPLETE job=%lld %d %d %d %d", jobId_, status, scope, c, d);
    record(text);
    return 1;
}
