// The kernel's virtual file systems, which no relabel walk enters: what they
// hold the kernel makes up as it is read (or makes anew at each boot), no
// label written there would last, and walking some of them costs without
// end (proc's entries for every process, sysfs's links and device files).
// Devices (devtmpfs) and tmpfs hold files like any other file system and are
// walked.
#pragma once

namespace zorvd {

// The name of the virtual file system `fd` lies on; null for any other.
const char* virtualFileSystem(int fd);

}  // namespace zorvd
