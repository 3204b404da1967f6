// A few calls against the label manager service, printed as they go.
#include <zorv/labelmgr.h>

#include <cstdio>

namespace {
void showTid(const char* path) {
    unsigned int tid = 0;
    int rc = getFileTid(path, &tid);
    std::printf("getFileTid(%s) = %d, tid %u\n", path, rc, tid);
}
}  // namespace

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "/usr/bin/true";

    showTid(path);
    std::printf("setFileTid(%s, 42) = %d\n", path, setFileTid(path, 42, 0));
    showTid(path);

    ZORV_ID oid = {1, 2, 3};
    std::printf("setFileOid(%s, {1,2,3}) = %d\n", path, setFileOid(path, oid, 0));
    oid = ZORV_ID{0, 0, 0};
    int rc = getFileOid(path, &oid);
    std::printf("getFileOid(%s) = %d, {%llu, %llu, %llu}\n", path, rc, (unsigned long long)oid.pkg_id,
                (unsigned long long)oid.file_id, (unsigned long long)oid.path_id);

    unsigned long pkg = 0;
    rc = getPkgId(path, &pkg);
    std::printf("getPkgId(%s) = %d, pkg %lu\n", path, rc, pkg);

    unsigned int tid = 0;
    rc = getFileTid("\xC3", &tid);
    std::printf("getFileTid(<invalid UTF-8>) = %d (refused, nothing sent)\n", rc);
    rc = setFileTid(path, 0, 0);
    std::printf("setFileTid(%s, 0) = %d (refused, nothing sent)\n", path, rc);

    // A package's files in one call; an interpreter tree must be a real directory.
    char* files[] = {const_cast<char*>("/usr/bin/true"), const_cast<char*>("/usr/bin/false")};
    std::printf("setLabelForPkg(2 files, coreutils) = %d\n", setLabelForPkg(files, 2, "coreutils"));
    std::printf("setLabelForLunvexInterpreter(/usr/lib) = %d\n", setLabelForLunvexInterpreter("/usr/lib"));
    std::printf("setLabelForLunvexInterpreter(%s) = %d (not a directory, nothing sent)\n", path,
                setLabelForLunvexInterpreter(path));

    std::printf("clearFileTid() = %d\n", clearFileTid());
    showTid(path);
    return 0;
}
