// A program the exec tests start in place of a host's child process.
//
//   exec_helper fds DIR        prints every descriptor it inherited that leads
//                              below DIR, then "end", and runs until its
//                              standard input reaches end of file
//   exec_helper reserve N T    reserves N blocks on the cache filesystem of
//                              the current platform home (central time T)
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cachefs/TestCacheFs.h"

namespace {

int listInherited(const std::string& dir) {
    DIR* fds = ::opendir("/proc/self/fd");
    if (!fds)
        return 2;
    while (struct dirent* e = ::readdir(fds)) {
        char target[4096];
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)).rfind(dir, 0) == 0)
            std::printf("%s\n", std::string(target, static_cast<size_t>(n)).c_str());
    }
    ::closedir(fds);
    std::printf("end\n");
    std::fflush(stdout);
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    return 0;
}

int reserve(long blocks, long central) {
    TestCacheFs fs;
    fs.centralTime = central;
    fs.initialize("client1");
    try {
        return fs.isInitialized() && fs.reserveOnDisk(blocks, 2, "17", 100, false) == 1 ? 0 : 1;
    } catch (const char*) {
        return 3;
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "fds" && argc == 3)
        return listInherited(argv[2]);
    if (mode == "reserve" && argc == 4)
        return reserve(std::atol(argv[2]), std::atol(argv[3]));
    return 64;
}
