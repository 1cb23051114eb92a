// The upload journal's record header "<flag><op>,<length as %16x>," as its
// reader walks it: every appended record must read back whole from the
// journal file, and a path maps to its part below the upload folder.
#include <cstdio>
#include <string>

#include "FuzzSupport.h"
#include "cachedir/IndexCacheDirMainTranLogHelper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string folder = fuzzsupport::path("idx");
    static const std::string cacheDir = folder + "/OX_Index/2/17/1700000000";
    if (size < 2)
        return 0;
    const char flag = static_cast<char>(data[0]), op = static_cast<char>(data[1]);
    const std::string payload(reinterpret_cast<const char*>(data) + 2, size - 2);
    IndexCacheDirMainTranLogHelper helper(cacheDir.c_str());
    helper.getLocalPath(payload);
    helper.getLocalPath(folder + "/" + payload);
    fuzzsupport::check(helper.append(flag, op, payload) == 1, "append");
    const std::string journal = folder + "/" + helper.getCurrentFileName();
    const std::string text = fuzzsupport::readFile(journal);
    ::unlink(journal.c_str()); // one record per file: the journal never grows past one input
    const size_t header = IndexCacheDirMainTranLogHelper::kHeaderSize;
    size_t length = 0;
    fuzzsupport::check(text.size() >= header && text[0] == flag && text[1] == op &&
                           text[2] == ',' && text[header - 1] == ',' &&
                           std::sscanf(text.substr(2, header - 2).c_str(), ",%16zx,", &length) ==
                               1 &&
                           length == payload.size() && text.substr(header) == payload,
                       "the record reads back whole");
    return 0;
}
