// The kinds of result file and their names: a fixed file name in the job's
// results directory, or an extension of a paging file in the temp directory.
#pragma once

enum ResultsFile : unsigned int {
    RF_NONE = 0,
    RF_BACKUP = 1,
    RF_RESTORE = 2,
    RF_CROSSCHECK = 3,
    RF_SCRAPETEXT = 4,
    RF_PAGING_BKP = 5,
    RF_PAGING_LOG = 6,
    RF_VIEW_LOG = 7,
    RF_RESTORE_FILTER_S = 8,
    RF_RESTORE_FILTER_F = 9,
    RF_RESTORE_FILTER_SK = 10,
    RF_PAGING_RAC = 11,
    RF_GIVEN_KEPT = 12,
    RF_PAGING_CDR = 13,
    RF_GIVEN = 20,
    RF_SUCCESS_STUB = 21,
    RF_RESTORE_FILTER_CONFLICT = 22,
    RF_DISTRIBUTED_IDA_STATE = 23,
    RF_STUBBING_REPORT = 24,
    RF_JOB_ITEMS_STATUS = 25,
    RF_DR_STATUS = 26,
};

// The file name of a kind in the results directory; null when it has none.
const char* rftoname(ResultsFile kind);
// The extension of a kind's paging files; null when it has none.
const char* getFileExt(ResultsFile kind);
// Kinds whose file is named by the caller's path; their map lies in the temp
// directory.
bool isGivenPathKind(ResultsFile kind);
