// A subscriber connects only to socket files that no other user can have put in place.
#include "notify/endpoint_trust.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include "scratch_dir.h"

namespace {

using zorv::notify::whyNotTrusted;

// Leaves a socket file at `path`, with nothing listening on it.
void socketFile(const std::string& path, uid_t owner = 0) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{AF_UNIX, {}};
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
    close(fd);
    EXPECT_EQ(lchown(path.c_str(), owner, owner), 0);
}

TEST(EndpointTrust, OnlyFilesOutOfOtherUsersReachAreTrusted) {
    if (geteuid() != 0) GTEST_SKIP() << "files of other users need root";
    zorvtest::ScratchDir scratch;
    const std::string d = scratch.path();
    chmod(d.c_str(), 01777);  // as /tmp
    socketFile(d + "/root.socket");
    socketFile(d + "/nobody.socket", 65534);
    scratch.file("plain");
    chmod(scratch.dir("open").c_str(), 0777);  // writable by all, not sticky
    socketFile(d + "/open/s");
    ASSERT_EQ(chown(scratch.dir("theirs").c_str(), 65534, 65534), 0);
    socketFile(d + "/theirs/s");
    scratch.link(d + "/root.socket", "link");
    scratch.link("open/s", "link-into-open");
    scratch.link("../" + d.substr(d.rfind('/') + 1) + "/./root.socket", "relative-link");

    for (const char* trusted : {"/root.socket", "/./root.socket", "/link", "/relative-link"})
        EXPECT_EQ(whyNotTrusted("ipc://" + d + trusted), "") << trusted;
    EXPECT_EQ(whyNotTrusted("tcp://127.0.0.1:5555"), "");
    const std::pair<std::string, std::string> cases[] = {
        {"ipc://" + d + "/nobody.socket", d + "/nobody.socket belongs to uid 65534"},
        {"ipc://" + d + "/open/s", d + "/open may be changed by other users"},
        {"ipc://" + d + "/theirs/s", d + "/theirs belongs to uid 65534"},
        {"ipc://" + d + "/link-into-open", d + "/open may be changed by other users"},
        {"ipc://" + d + "/plain", d + "/plain is not a socket"},
        {"ipc://" + d + "/plain/s", d + "/plain is not a directory"},
        {"ipc://" + d, d + " is not a socket"},
        {"ipc://" + d + "/none", d + "/none: No such file or directory"},
        {"ipc://relative.socket", "the socket file is not named by an absolute path"},
    };
    for (const auto& [endpoint, why] : cases) EXPECT_EQ(whyNotTrusted(endpoint), why) << endpoint;
}

}  // namespace
