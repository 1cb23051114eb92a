// The platform's XML message: a subsystem and message number, a tag (the
// class key of the message class, and its name) and fields addressed by a
// field number, a tag number, the class key of the class that declares the
// field and a field key. Integer fields are 64-bit; strings carry no control
// character other than TAB, so that a message and its XML form are one.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <tuple>

class CNMessageBase {
public:
    CNMessageBase(int subsystem = 0, int message = 0, uint32_t tagId = 0, const char* tagName = "")
        : subsystem_(subsystem), message_(message), tagId_(tagId), tagName_(tagName) {}
    virtual ~CNMessageBase() = default;

    int getSubsystem() const { return subsystem_; }
    int getMessage() const { return message_; }
    uint32_t getTagId() const { return tagId_; }
    const char* getTagName() const { return tagName_.c_str(); }

    // A text with a control character other than TAB is refused (false).
    bool setString(int field, int tag, uint32_t classKey, uint32_t fieldKey,
                   const std::string& value);
    bool getString(int field, int tag, uint32_t classKey, uint32_t fieldKey,
                   std::string& value) const;
    void setInt(int field, int tag, uint32_t classKey, uint32_t fieldKey, long long value);
    bool getInt(int field, int tag, uint32_t classKey, uint32_t fieldKey, long long& value) const;
    // Whether a field with this number is set, whatever its tag and keys.
    bool isFieldSet(int field) const;

    // The XML text of the message.
    std::string toXml() const;
    // Parses an XML text; null with *error set when the text is not a
    // well-formed message.
    static std::unique_ptr<CNMessageBase> fromXml(const std::string& text, std::string* error);

    static bool validText(const std::string& text);

private:
    friend struct XmlMessageParser;
    using Key = std::tuple<int, int, uint32_t, uint32_t>;
    int subsystem_;
    int message_;
    uint32_t tagId_;
    std::string tagName_;
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
