// The job-items message as this library reads it: field 3 of the job-info
// message holds the mailbox status entries, entry i under tag i, each the
// serialised form of one status entry (an empty text is one that could not
// be serialised).
#pragma once

#include <cstdint>

namespace jobitems {
constexpr const char* kXmlName = "JobItemsStatusFile.xml";
constexpr int kStatusListField = 3;
constexpr uint32_t kJobInfoClassKey = 0x30000A51;
constexpr uint32_t kStatusTabFieldKey = 4411902;
} // namespace jobitems
