// Stand-in for the platform's application naming, answered from the key store
// section "idxcache.apps". The key is "<realm number>:<application id>", the
// value five names joined by backslashes:
//   client\appType\instance\backupSet\subclient
// An empty instance means the application has none. A name written as "-"
// makes the platform report that object missing; "!<code>" makes reading
// that name fail with the code. Fewer than five fields make the instance
// query fail with code 22.
//
// The numeric application type of an application is kept apart, under the key
// "<realm number>:<application id>.type" of the same section, as a decimal or
// 0x-hexadecimal number; getAppType answers it for the object's application
// and 0 when the platform has none (the platform's failure value).
#pragma once

#include <string>
#include <vector>

constexpr const char* kAppsSection = "idxcache.apps";

class ApplicationId {
public:
    ApplicationId(unsigned int realmNumber, unsigned int applicationId);

    // The numeric application type, or 0 when the platform cannot tell it.
    unsigned int getAppType() const;

    // 0 when the application is known, else an error code.
    int getApplicationId() const { return status_; }

    // Objects of the application: null when the platform has none.
    const std::string* getClient() const { return object(0); }
    const std::string* getApplicationType() const { return object(1); }
    const std::string* getInstance() const { return object(2); }
    const std::string* getBackupSet() const { return object(3); }
    const std::string* getSubclient() const { return object(4); }

    // Name of an object: 0, or the platform's error code.
    static int getName(const std::string* object, std::string& name);
    // 0 with the answer in available, or an error code.
    int isInstanceAvailable(bool& available) const;

    // The numeric application type of (realm number, application id): 0 with
    // the type stored, 2 when the platform has none, 22 when it is not a number.
    static int getApplicationTypeNumber(unsigned int realmNumber, unsigned int applicationId,
                                        unsigned int& type);

private:
    const std::string* object(size_t i) const;

    unsigned int realmNumber_;
    unsigned int applicationId_;
    int status_ = 2;
    std::vector<std::string> fields_;
};

// The platform's ctime-style text of a time, with its line end; false when
// the time cannot be shown.
bool OX_ctime(unsigned int time, char* buffer, int size);
