// The cache-operation messages exchanged with the local storage-node
// service: field numbers, tag numbers, class keys and field keys are the
// wire format and never change.
#pragma once

#include <cstdint>

#include "platform/CNMessageBase.h"

namespace cacheops {

constexpr int kSubsystem = 48;
constexpr int kReserveMessage = 180;
constexpr int kCleanupMessage = 116;
constexpr uint32_t kReserveClassKey = 0x30000013;
constexpr uint32_t kCleanupClassKey = 0x30000014;
constexpr uint32_t kAckClassKey = 0x30000015;
// The service's own stop request (no fields), answered after the request
// being served.
constexpr uint32_t kStopClassKey = 0x3000FFF0;

// One field: number, tag and field key (the class key is the table's).
struct Field {
    int field;
    int tag;
    uint32_t key;
};

// Common fields of every request (kBaseClassKey).
constexpr Field kZero{11, 20, 13627015};
constexpr Field kAppType{1, 1, 11371771};
constexpr Field kCacheType{2, 2, 74204};
constexpr Field kCatalogServer{9, 18, 16401596};
constexpr Field kJobId{3, 3, 633272};
constexpr Field kPid{kPidField, kPidTag, kPidFieldKey};
constexpr Field kMultiThreaded{5, 8, 15733518};
constexpr Field kMultiJob{6, 9, 2384};
constexpr Field kClientName{7, 10, 4397005};
constexpr Field kProcessName{kProcessNameField, kProcessNameTag, kProcessNameFieldKey};

// Reservation request (kReserveClassKey).
constexpr Field kResNumBlocks{1, 1, 1976492};
constexpr Field kResRealm{2, 2, 542350};
constexpr Field kResApp{4, 4, 6520775};
constexpr Field kResTimeStamp{5, 8, 8796406};
constexpr Field kResReleaseAll{6, 9, 9570330};

// Clean-up request (kCleanupClassKey).
constexpr Field kClnNumBlocks{1, 1, 1976492};
constexpr Field kClnRemoveAllOld{2, 2, 6159120};
constexpr Field kClnLogEvents{3, 3, 9432445};
constexpr Field kClnUseAccessTime{4, 4, 11128632};
constexpr Field kClnSpecificRealm{5, 5, 2507232};
constexpr Field kClnSpecificApp{7, 7, 323253};
constexpr Field kClnDontRemoveTime{8, 11, 11885538};
constexpr Field kClnRealm{9, 12, 542350};
constexpr Field kClnApp{11, 14, 6520775};
constexpr Field kClnTimeStamp{12, 18, 8796406};

// Acknowledgement (kAckClassKey); the error code is read by tag 1.
constexpr Field kAckErrorCode{1, 1, 10268693};
constexpr Field kAckErrorText{2, 2, 9454804};
constexpr Field kAckStatus{3, 6, 13488114};
constexpr Field kAckReserveBuffer{4, 7, 8327196};
constexpr Field kAckLastReserved{5, 8, 6973188};

// Transaction-log upload request (kUploadClassKey) and its reply
// (kUploadReplyClassKey, status -777777 when absent).
constexpr int kUploadMessage = 221;
constexpr uint32_t kUploadClassKey = 0x3000000a;
constexpr uint32_t kUploadReplyClassKey = 0x3000000b;
constexpr Field kUpFlags{7, 16, 13627015};
constexpr Field kUpEntries{1, 1, 6746967};
constexpr Field kUpJobIdArg{2, 2, 2442344};
constexpr Field kUpRestart{3, 3, 3400448};
constexpr Field kUpPath{4, 7, 3890141};
constexpr Field kUpFileList{5, 11, 9633580};
constexpr Field kUpJobId{9, 21, 633272};
constexpr Field kUpClientName{8, 17, 4397005};
constexpr Field kUpReplyStatus{5, 11, 13488114};
constexpr Field kUpReplyErrorText{6, 12, 9454804};
constexpr long long kUpStatusAbsent = -777777;
// Upload flags: the list is one relative path; queued upload of the whole
// directory; copy all files.
constexpr long long kUpFlagOnePath = 1, kUpFlagQueued = 4, kUpFlagCopyAll = 8;

// A 32-bit row: the low 32 bits, widened without sign.
inline long long wire32(long long value) {
    return static_cast<long long>(static_cast<uint32_t>(value));
}
// The signed 32-bit value a 32-bit row carries.
inline int32_t signed32(long long value) {
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

inline void setInt(CNMessageBase& m, uint32_t classKey, const Field& f, long long v) {
    m.setInt(f.field, f.tag, classKey, f.key, v);
}
inline bool getInt(const CNMessageBase& m, uint32_t classKey, const Field& f, long long& v) {
    return m.getInt(f.field, f.tag, classKey, f.key, v);
}
inline bool setString(CNMessageBase& m, uint32_t classKey, const Field& f, const std::string& v) {
    return m.setString(f.field, f.tag, classKey, f.key, v);
}
inline bool getString(const CNMessageBase& m, uint32_t classKey, const Field& f, std::string& v) {
    return m.getString(f.field, f.tag, classKey, f.key, v);
}

} // namespace cacheops

namespace Indexing {

class CacheOpsBaseMsg : public CNMessageBase {
protected:
    CacheOpsBaseMsg(int message, uint32_t classKey, const char* name)
        : CNMessageBase(cacheops::kSubsystem, message, classKey, name) {}
};

class ReserveOnDiskRequest : public CacheOpsBaseMsg {
public:
    ReserveOnDiskRequest()
        : CacheOpsBaseMsg(cacheops::kReserveMessage, cacheops::kReserveClassKey,
                          "Indexing::ReserveOnDiskRequest") {}
};

class CleanupRequest : public CacheOpsBaseMsg {
public:
    CleanupRequest()
        : CacheOpsBaseMsg(cacheops::kCleanupMessage, cacheops::kCleanupClassKey,
                          "Indexing::CleanupRequest") {}
};

class TranLogUploadReq : public CNMessageBase {
public:
    TranLogUploadReq()
        : CNMessageBase(cacheops::kSubsystem, cacheops::kUploadMessage, cacheops::kUploadClassKey,
                        "Indexing::TranLogUploadReq") {}
};

} // namespace Indexing

class TranLogUploadReply : public CNMessageBase {
public:
    TranLogUploadReply()
        : CNMessageBase(cacheops::kSubsystem, 0, cacheops::kUploadReplyClassKey,
                        "TranLogUploadReply") {}
};

class CacheOpsAck : public CNMessageBase {
public:
    CacheOpsAck() : CNMessageBase(cacheops::kSubsystem, 0, cacheops::kAckClassKey, "CacheOpsAck") {}
};
