#include "platform/ApplicationId.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/OXPlatformInfo.h"

ApplicationId::ApplicationId(unsigned int realmNumber, unsigned int applicationId)
    : realmNumber_(realmNumber), applicationId_(applicationId) {
    std::string value;
    std::string key = std::to_string(realmNumber) + ":" + std::to_string(applicationId);
    if (!platform::KeyStore::get(kAppsSection, key, value))
        return;
    status_ = 0;
    size_t start = 0;
    while (true) {
        size_t bs = value.find('\\', start);
        fields_.push_back(value.substr(start, bs == std::string::npos ? bs : bs - start));
        if (bs == std::string::npos)
            break;
        start = bs + 1;
    }
}

unsigned int ApplicationId::getAppType() const {
    unsigned int type = 0;
    return getApplicationTypeNumber(realmNumber_, applicationId_, type) == 0 ? type : 0;
}

const std::string* ApplicationId::object(size_t i) const {
    if (status_ != 0 || i >= fields_.size() || fields_[i] == "-")
        return nullptr;
    return &fields_[i];
}

int ApplicationId::getName(const std::string* object, std::string& name) {
    if (!object)
        return 2;
    if (!object->empty() && (*object)[0] == '!') {
        int code = std::atoi(object->c_str() + 1);
        return code ? code : 1;
    }
    name = *object;
    return 0;
}

int ApplicationId::isInstanceAvailable(bool& available) const {
    if (status_ != 0)
        return status_;
    if (fields_.size() < 5)
        return 22;
    available = !fields_[2].empty();
    return 0;
}

int ApplicationId::getApplicationTypeNumber(unsigned int realmNumber, unsigned int applicationId,
                                            unsigned int& type) {
    std::string value;
    std::string key = std::to_string(realmNumber) + ":" + std::to_string(applicationId) + ".type";
    if (!platform::KeyStore::get(kAppsSection, key, value))
        return 2;
    unsigned long long number = 0;
    if (!platform::KeyStore::parseNumber(value, number, false) || number > 0xFFFFFFFFull)
        return 22;
    type = static_cast<unsigned int>(number);
    return 0;
}

bool OX_ctime(unsigned int time, char* buffer, int size) {
    time_t t = static_cast<time_t>(time);
    char text[64];
    if (!buffer || size <= 0 || !::ctime_r(&t, text))
        return false;
    std::strncpy(buffer, text, static_cast<size_t>(size) - 1);
    buffer[size - 1] = '\0';
    return true;
}
