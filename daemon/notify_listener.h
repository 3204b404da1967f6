// The listening socket on which notification subscribers connect.
#pragma once

#include <string>

#include "util/file_descriptor.h"

namespace zorvd {

// Listens on `endpoint`, "ipc://" followed by the absolute path of a socket
// file that every local user may connect to. The socket is made in a private
// directory beside that path and moved onto it in one step, replacing
// whatever occupied the path before (a file, a directory, another user's
// socket, the one a previous run left): in a sticky directory such as /tmp
// the path is thus never free for another user to take. Nothing is removed
// when the service stops; the next start replaces the dead socket file.
// Throws std::runtime_error with the reason.
zorv::detail::FileDescriptor listenForSubscribers(const std::string& endpoint);

}  // namespace zorvd
