// The job token: the text that names one run of a job, "%llu:%lu:%lu:%lu"
// (job id, phase, attempt, write-open counter).
#pragma once

#include <string>

// The token of a run; empty when it cannot be formatted.
std::string constructJobToken(long long jobId, unsigned long phase, unsigned long attempt,
                              unsigned long counter);
std::string constructJobToken(long long jobId, unsigned long phase, unsigned long attempt);

// Reads job:phase:attempt[:counter], or the old form with the job id alone.
// Every output is 0 unless read; false only for a null or empty token or one
// with a single colon.
bool parseJobToken(const char* token, long long& jobId, unsigned long& phase,
                   unsigned long& attempt, unsigned long& counter);
bool parseJobToken(const char* token, long long& jobId, unsigned long& phase,
                   unsigned long& attempt);

// The job id of a parsable token, else 0.
long long getJobIdFromJobToken(const char* token);
