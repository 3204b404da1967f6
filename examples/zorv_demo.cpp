// A few calls against the label manager service, printed as they go.
#include <zorv/labelmgr.h>

#include <cstdio>

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "/usr/bin/true";

    unsigned int tid = 0;
    int rc = getFileTid(path, &tid);
    std::printf("getFileTid(%s) = %d, tid %u\n", path, rc, tid);

    rc = setFileTid(path, 42, 0);
    std::printf("setFileTid(%s, 42) = %d\n", path, rc);

    ZORV_ID oid = {1, 2, 3};
    rc = setFileOid(path, oid, 0);
    std::printf("setFileOid(%s, {1,2,3}) = %d\n", path, rc);
    rc = getFileOid(path, &oid);
    std::printf("getFileOid(%s) = %d, {%llu, %llu, %llu}\n", path, rc, (unsigned long long)oid.pkg_id,
                (unsigned long long)oid.file_id, (unsigned long long)oid.path_id);

    unsigned long pkg = 0;
    rc = getPkgId(path, &pkg);
    std::printf("getPkgId(%s) = %d, pkg %lu\n", path, rc, pkg);

    rc = getFileTid("\xC3", &tid);
    std::printf("getFileTid(<invalid UTF-8>) = %d (refused, nothing sent)\n", rc);

    rc = clearFileTid();
    std::printf("clearFileTid() = %d\n", rc);
    return 0;
}
