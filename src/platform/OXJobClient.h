// Stand-ins for the platform's job clients, through which a process talks to
// the job controller of the central server about one job.
//
// Every init, and every pending cause or completion the controller accepts,
// is recorded as one line of <home>/logs/jobs.log:
//   "<YYYY-MM-DD HH:MM:SS> <pid> INIT job=<id> warden=<name> platform=<type>"
//   "<YYYY-MM-DD HH:MM:SS> <pid> PENDING job=<id> msg=0x<8 hex> type=<type> args=<n>"
//       followed by " [<argument>]" for each argument
//   "<YYYY-MM-DD HH:MM:SS> <pid> BKPINIT job=<id> warden=<name> <a> <b> <c> <d>"
//   "<YYYY-MM-DD HH:MM:SS> <pid> COMPLETE job=<id> <a> <b> <c> <d>"
// Accepted pending causes also reach an installed platform::TestSink.
//
// Section "idxcache.jobs", key = job id (decimal):
//   unknown   the controller does not know the job: init answers 0
//   frozen    init succeeds, but the job accepts neither pending causes nor
//             completion (both answer 0)
//   quit      the controller asks the job to stop (OXJobCtrlClient.h); the
//             job is otherwise known and accepts everything
// Any other job is known and accepts everything.
#pragma once

#include <string>
#include <vector>

constexpr const char* kJobsSection = "idxcache.jobs";

class OXJobClient {
public:
    OXJobClient() = default;
    virtual ~OXJobClient() = default;
    OXJobClient(const OXJobClient&) = delete;
    OXJobClient& operator=(const OXJobClient&) = delete;

    // 1 when the controller on warden knows the job, 0 otherwise.
    int init(const std::string& warden, long long jobId, int platformType);
    // 1 when the job's pending cause was set, 0 otherwise.
    int setPendingCause(unsigned int messageId, int messageType,
                        const std::vector<std::string>& args = {});

    long long getJobId() const { return jobId_; }
    const std::string& getWarden() const { return warden_; }

protected:
    // The job's setting in "idxcache.jobs" ("" when absent).
    static std::string jobSetting(long long jobId);
    static void record(const std::string& text);

    std::string warden_;
    long long jobId_ = 0;
    bool initialised_ = false;
};

// The backup job client: fails or completes a job or a phase.
class OXBkpJobClient : public OXJobClient {
public:
    // 1 when the controller knows the job, 0 otherwise.
    int init(const std::string& warden, long long jobId, int a, int b, int c, int d);
    // 1 when the controller accepted the completion, 0 otherwise.
    int complete(int status, int scope, int c, int d);
};
