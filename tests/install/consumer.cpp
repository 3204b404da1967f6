// Compiled against the installed typed header.
#include <zorv/labelmgr.hpp>

#include <cstdio>

int main() {
    unsigned long pkg = 0;
    if (getPkgId(nullptr, &pkg) != -1) return 1;
    std::puts("c++ consumer ok");
    return 0;
}
