// Stand-in for the platform's job control client, which a running job asks
// whether the job controller wants it to stop.
//
// Section "idxcache.jobs" (see OXJobClient.h), key = job id (decimal): the
// value "quit" raises the job's quit flag. Any process may set it, e.g.
//   idxcache config set 42 quit -s idxcache.jobs
// and every later query of a client for job 42 answers true.
#pragma once

class OXJobCtrlClient {
public:
    explicit OXJobCtrlClient(long long jobId) : jobId_(jobId) {}
    OXJobCtrlClient(const OXJobCtrlClient&) = delete;
    OXJobCtrlClient& operator=(const OXJobCtrlClient&) = delete;

    // One query of the controller: whether the job's quit flag is set.
    bool checkQuitFlag();

    long long getJobId() const { return jobId_; }
    // Queries made through this client.
    unsigned long getQueryCount() const { return queries_; }

private:
    long long jobId_;
    unsigned long queries_ = 0;
};
