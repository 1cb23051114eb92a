// Sorting a text file in place, line by line, through the platform's sort
// engine, optionally cut down to its top N lines.
//
// The original is never removed or truncated before its replacement is
// complete: the engine writes a sorted copy next to it, the copy is cut (when
// asked), given the original's owner and permissions, synced, and renamed
// over the original. On any failure the original is left as it was, the call
// answers -1 and the copy and the work directory are removed. The copy
// "<file>.tmp.XXXXXX" and the work directory "<file>_folder.tmp.XXXXXX" get
// unique names, made with mkostemp and mkdtemp, so two sorts of one file never
// share them and neither is ever reached through a link planted there.
#pragma once

#include <cstdint>

enum BatchSortListSortCriteria : int {
    kSortWholeLine = 0,
    kSortWholeLinePlain = 1,
    kSortByColumn = 2,
    // Any other value sorts whole lines.
};

// flag1, flag2, flag3 go to the engine as (flag2, flag3, flag1): ascending,
// verbose, check sorted (see platform/BatchSort.h). 0 or -1.
int sortAndReplace(const char* file, bool flag1, bool flag2, bool flag3);

// With topN below 1 and a whole-line criteria this is
// sortAndReplace (file, criteria == 0, ascending, flagB); otherwise the engine
// gets (ascending, criteria == 0, flagB) as its ascending, verbose and
// check-sorted flags, which do not change the result. Criteria 2 sorts by
// the column (BatchSortByColumn; column 0 or no delimiter is an error). With
// topN of 1 or more the sorted file keeps N lines: the last N of an ascending
// sort by column (the N largest), else the first N. 0 or -1.
int sortAndReplaceEx(const char* file, int criteria, long long topN, bool ascending, bool flagB,
                     uint32_t columnNumber, const char* delimiters, uint32_t columnType,
                     uint64_t value);
