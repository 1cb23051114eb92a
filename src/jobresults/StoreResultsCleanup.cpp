// The machine's periodic clean-up of job results, hosted by StoreResults.
#include <ctime>
#include <memory>
#include <string>

#include "jobresults/StoreResults.h"
#include "platform/CNamedMutex.h"
#include "platform/Env.h"
#include "platform/OXClient.h"
#include "platform/OXPlatformInfo.h"

namespace {
constexpr unsigned long kDefaultFrequencyHours = 6;
constexpr unsigned long kOneMs = 1;
} // namespace

int StoreResults::centralCleanUp(const char* clientName) {
    std::string client = clientName ? clientName : "";
    if (client.empty() && getClientName())
        client = getClientName();
    if (client.empty())
        client = OXPI_Focus::getFocusClientName(true);

    OXClient oxClient(client);
    if (oxClient.lookup() != 0) {
        debug(1, "cleanUp: cannot look client '%s'\n", client.c_str());
        return -1;
    }
    std::unique_ptr<OXClientProperties> properties = oxClient.getClientProperties();
    if (!properties) {
        debug(1, "cleanUp: getClientProperties failed for client '%s'\n", client.c_str());
        return -1;
    }
    int diskFull = 0, aging = 0;
    if (properties->getDiskFullThreshold(diskFull) != 0) {
        debug(1, "cleanUp: getDiskFullThreshold failed for client '%s'\n", client.c_str());
        return -1;
    }
    if (properties->getCacheAgingThreshold(aging) != 0) {
        debug(1, "cleanUp: getCacheAgingThreshold failed for client '%s'\n", client.c_str());
        return -1;
    }
    if (diskFull < 1 || diskFull > 100 ||
        resultsDir_.setDiskFree(static_cast<unsigned int>(100 - diskFull)) != 0) {
        debug(1, "cleanUp: invalid disk full threshold %d\n", diskFull);
        return -1;
    }
    if (aging <= 0) {
        debug(1, "cleanUp: invalid cache aging threshold %d\n", aging);
        return -1;
    }
    resultsDir_.setNumDays(static_cast<unsigned int>(aging));

    // The time of the last run is kept per client: a name that cannot name its
    // section would make every call run.
    const std::string section = machinesSection(client);
    if (!platform::KeyStore::validNames(section, "nJRCLEANUPLAST")) {
        debug(1, "cleanUp: client name '%s' cannot name a key-store section\n", client.c_str());
        return -1;
    }

    CNamedMutex mutex("jobResultCleanup");
    if (mutex.lock(kOneMs) != 0) {
        debug(3, "cleanUp: skipping jobResults cleanup. Another cleanup process is running");
        return 0;
    }
    OXPlatformInfo info;
    unsigned long frequency = kDefaultFrequencyHours;
    if (info.getNumber("Gatherer", "nJRCLEANUPFREQ", &frequency)) {
        if (frequency != 0)
            debug(3,
                  "cleanUp: frequency of jobResults cleanup is set to %lu using registry key "
                  "Gatherer/nJRCLEANUPFREQ",
                  frequency);
        else
            debug(3, "cleanUp: jobResults cleanup frequency is disabled");
    }
    const unsigned long now = static_cast<unsigned long>(platform::now());
    if (frequency != 0) {
        unsigned long last = 0;
        if (!info.getNumber(section.c_str(), "nJRCLEANUPLAST", &last))
            last = 0;
        if (last != 0 && now - last <= frequency * 3600) {
            const time_t when = static_cast<time_t>(last);
            char text[64] = "";
            ::ctime_r(&when, text);
            debug(3,
                  "cleanUp: skipping jobResults cleanup. Last jobResults cleanup happenned within "
                  "[%lu] hours on %s",
                  frequency, text);
            mutex.unlock();
            return 0;
        }
    }
    const int result = resultsDir_.cleanUp();
    if (info.setNumber(section.c_str(), "nJRCLEANUPLAST", now) != 0)
        debug(1, "cleanUp: cannot store the time of this cleanup for client '%s'\n",
              client.c_str());
    mutex.unlock();
    return result;
}

extern "C" int StoreResultCentralCleanup(const char* clientName) {
    StoreResults store(0, 0, true, clientName);
    return store.centralCleanUp(clientName);
}
