#include "jobresults/ResultsFile.h"

#include <cstddef>

namespace {

struct Name {
    ResultsFile kind;
    const char* text;
};

constexpr Name kFileNames[] = {
    {RF_BACKUP, "backup.out"},
    {RF_RESTORE, "restore.out"},
    {RF_CROSSCHECK, "crosscheck.out"},
    {RF_SCRAPETEXT, "scrapetext.out"},
    {RF_SUCCESS_STUB, "SuccessStubCollect.oxf"},
    {RF_DISTRIBUTED_IDA_STATE, "DistributedIDAStateFile.out"},
    {RF_STUBBING_REPORT, "StubbingReport.out"},
    {RF_JOB_ITEMS_STATUS, "JobItemsStatusFile.txt"},
    {RF_DR_STATUS, "DRStatus.xml"},
};

constexpr Name kExtensions[] = {
    {RF_PAGING_BKP, ".bkp"},           {RF_PAGING_LOG, ".log"},
    {RF_RESTORE_FILTER_S, ".s_rst"},   {RF_RESTORE_FILTER_F, ".f_rst"},
    {RF_RESTORE_FILTER_SK, ".sk_rst"}, {RF_PAGING_RAC, ".rac"},
    {RF_PAGING_CDR, ".cdr"},           {RF_RESTORE_FILTER_CONFLICT, ".cnflct_rst"},
};

template <size_t N> const char* lookUp(const Name (&table)[N], ResultsFile kind) {
    for (const Name& n : table) {
        if (n.kind == kind)
            return n.text;
    }
    return nullptr;
}

} // namespace

const char* rftoname(ResultsFile kind) {
    return lookUp(kFileNames, kind);
}

const char* getFileExt(ResultsFile kind) {
    return lookUp(kExtensions, kind);
}

bool isGivenPathKind(ResultsFile kind) {
    return kind == RF_VIEW_LOG || kind == RF_GIVEN_KEPT || kind == RF_GIVEN;
}
