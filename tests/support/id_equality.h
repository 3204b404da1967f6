// Identifiers in assertions: they compare by their three numbers and print as pkg-file-path.
#pragma once

#include <zorv/labelmgr.h>

#include <ostream>

inline bool operator==(const ZORV_ID& a, const ZORV_ID& b) {
    return a.pkg_id == b.pkg_id && a.file_id == b.file_id && a.path_id == b.path_id;
}
inline void PrintTo(const ZORV_ID& id, std::ostream* out) {
    *out << id.pkg_id << "-" << id.file_id << "-" << id.path_id;
}
