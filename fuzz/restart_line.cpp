// The restart file "TL_RST.cfg" of a transaction log, read line by line, and
// the quoted name list of one line.
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "platform/TCtreeTable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string file = fuzzsupport::path("TL_RST.cfg");
    fuzzsupport::writeFile(file, data, size);
    TCtreeTranLogChunkLineHelper helper;
    if (helper.setFile(file.c_str()) == 0) {
        int lines = 0;
        while (helper.readNextLineAndParse() == 1)
            ++lines;
        fuzzsupport::check(helper.lineNumber() >= lines, "line number counts the lines read");
        helper.isRestartStringsEqual(std::string(reinterpret_cast<const char*>(data), size));
    }
    std::vector<std::string> names;
    TCtreeTranLogChunkLineHelper::parse(std::string(reinterpret_cast<const char*>(data), size),
                                        names);
    return 0;
}
