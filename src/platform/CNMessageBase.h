// Stand-in for the platform's XML message: fields addressed by a field
// number, a tag number, the class key of the message class and a field key.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>

class CNMessageBase {
public:
    CNMessageBase(int subsystem = 0, int message = 0) : subsystem_(subsystem), message_(message) {}

    int getSubsystem() const { return subsystem_; }
    int getMessage() const { return message_; }

    void setString(int field, int tag, uint32_t classKey, uint32_t fieldKey,
                   const std::string& value) {
        strings_[Key(field, tag, classKey, fieldKey)] = value;
    }
    bool getString(int field, int tag, uint32_t classKey, uint32_t fieldKey,
                   std::string& value) const {
        auto it = strings_.find(Key(field, tag, classKey, fieldKey));
        if (it == strings_.end())
            return false;
        value = it->second;
        return true;
    }
    void setInt(int field, int tag, uint32_t classKey, uint32_t fieldKey, long long value) {
        ints_[Key(field, tag, classKey, fieldKey)] = value;
    }
    bool getInt(int field, int tag, uint32_t classKey, uint32_t fieldKey, long long& value) const {
        auto it = ints_.find(Key(field, tag, classKey, fieldKey));
        if (it == ints_.end())
            return false;
        value = it->second;
        return true;
    }

private:
    using Key = std::tuple<int, int, uint32_t, uint32_t>;
    int subsystem_;
    int message_;
    std::map<Key, std::string> strings_;
    std::map<Key, long long> ints_;
};

// The common fields of a cache-operation request that the serving process reads.
namespace cacheops {
constexpr uint32_t kBaseClassKey = 0x30000012;
constexpr int kPidField = 4, kPidTag = 4;
constexpr uint32_t kPidFieldKey = 7694716;
constexpr int kProcessNameField = 8, kProcessNameTag = 14;
constexpr uint32_t kProcessNameFieldKey = 998810;
} // namespace cacheops
