// The job token "job:phase:attempt[:counter]" as a job id file or a request carries it.
#include <string>

#include "FuzzSupport.h"
#include "common/JobToken.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string token(reinterpret_cast<const char*>(data), size);
    long long job = 0;
    unsigned long phase = 0, attempt = 0, counter = 0;
    if (!parseJobToken(token.c_str(), job, phase, attempt, counter))
        return 0;
    fuzzsupport::check(getJobIdFromJobToken(token.c_str()) == job, "job id of a parsed token");
    // What a parsed token formats to reads back as the same four numbers.
    const std::string again = constructJobToken(job, phase, attempt, counter);
    long long job2 = 0;
    unsigned long phase2 = 0, attempt2 = 0, counter2 = 0;
    if (!again.empty()) {
        fuzzsupport::check(parseJobToken(again.c_str(), job2, phase2, attempt2, counter2) &&
                               job2 == job && phase2 == phase && attempt2 == attempt &&
                               counter2 == counter,
                           "formatted token reads back");
    }
    return 0;
}
