// Cache types and application types shared by the cache classes.
#pragma once

// The platform's application type number.
using OXAppType = unsigned int;

// A special index type that keeps everything in its own folder "OX_Opt1".
constexpr OXAppType kOpt1AppType = 1000;
// The job-results application type: its root is the client's job results directory.
constexpr OXAppType kJobResultsAppType = 1001;

enum TCacheTypeEnum : int {
    TCacheTypeTape = 0,
    TCacheTypeContentSearch = 1,
    TCacheTypeSnap = 2,
    TCacheTypePageCache = 3,
};
