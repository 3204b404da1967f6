// Whether a subscriber may connect to a notification endpoint: whoever
// listens on it is believed to be the label manager service.
#pragma once

#include <string>

namespace zorv {
namespace notify {

// Empty when `endpoint` may be connected to, else why not. An ipc:// endpoint
// must name, by an absolute path, a socket file that belongs to root or to
// the caller's effective user, reached through directories and links of
// theirs only, where no other user may add, rename or remove an entry (group
// and others may not write, unless the directory is sticky): no one else can
// then have put the socket there, or put another in its place before the
// connection is made. Other endpoints (tcp://, inproc://) are not checked.
std::string whyNotTrusted(const std::string& endpoint);

}  // namespace notify
}  // namespace zorv
