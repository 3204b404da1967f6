// Library-internal use of the path predicates.
#pragma once

namespace zorv {

// True only for an existing directory reached without a final symbolic link:
// the base of a tree that the service is asked to label as a whole. When it
// says no, it logs why (missing, a link, not a directory).
bool validatePath(const char* path);

}  // namespace zorv
