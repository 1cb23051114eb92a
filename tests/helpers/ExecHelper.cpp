// A program the exec tests start as a process of its own:
//   exec_helper reserve N T   reserves N blocks on the cache filesystem of the
//                             current platform home, on central time T
#include <cstdlib>
#include <string>

#include "cachefs/TestCacheFs.h"

int main(int argc, char** argv) {
    if (argc != 4 || std::string(argv[1]) != "reserve")
        return 64;
    TestCacheFs fs;
    fs.centralTime = std::atol(argv[3]);
    fs.initialize("client1");
    try {
        return fs.isInitialized() && fs.reserveOnDisk(std::atol(argv[2]), 2, "17", 100, false) == 1
                   ? 0
                   : 1;
    } catch (const char*) {
        return 3;
    }
}
