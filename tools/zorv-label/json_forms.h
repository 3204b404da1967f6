// The JSON forms that every command of zorv-label shares (zorv-label(1) is the
// contract): 64-bit identifiers as text, since most JSON readers turn numbers
// into doubles and round anything past 2^53; times as RFC 3339; and the one
// error object that --json writes to standard error.
#pragma once

#include <zorv/labelmgr.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <ctime>
#include <string>

namespace zorvtool {

// An identifier triple in the tool's 50-character form,
// "0000000000000001-0000000000000000-000000000000002a".
std::string identifierText(const ZORV_ID& id);
// A single 64-bit identifier (a package id, a device or module oid): 16
// lower-case hexadecimal digits, the form of one part of the triple.
std::string id64Text(uint64_t value);

// The two forms read back exactly as printed (either case of hex digits);
// false for anything else, `id` or `value` then untouched.
bool parseIdentifierText(const std::string& text, ZORV_ID& id);
bool parseId64Text(const std::string& text, uint64_t& value);

// RFC 3339 in local time, to the second, with a colon in the offset:
// "2026-12-07T10:15:00+01:00".
std::string rfc3339(std::time_t seconds);
std::string rfc3339FromMicros(uint64_t microsecondsSinceEpoch);

// What --json writes to standard error instead of the plain error line:
// {"error": message, "status": exit status}.
nlohmann::ordered_json errorObject(const std::string& message, int status);

}  // namespace zorvtool
