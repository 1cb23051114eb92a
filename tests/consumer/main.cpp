#include <port/CXFile.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    CXFile f;
    if (f.open(argv[1], sfOpenCreate) != 0 || f.putLine("consumer", true) != 0)
        return 1;
    std::puts("consumer ok");
    return 0;
}
