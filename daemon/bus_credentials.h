// Who is calling: the Unix identity of a caller's bus connection, as the bus
// vouches for it (GetConnectionCredentials). Identities are asked for without
// waiting, on the serving thread, and kept by the caller's unique name: a
// unique name is never given to another connection while the bus runs.
#pragma once

#include <dbus/dbus.h>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "bus.h"

namespace zorvd {

struct Caller {
    uint32_t uid = 65534;
    uint32_t pid = 0;             // 0 when the bus cannot tell
    std::vector<uint32_t> groups;  // supplementary groups of the caller's process
    bool groupsKnown = false;      // false: the bus could not tell them
    bool root() const { return uid == 0; }
};

class CallerDirectory {
public:
    explicit CallerDirectory(Outbox& bus) : bus_(bus) {}

    // The identity of `sender` if known already, else null.
    const Caller* find(const std::string& sender) const;
    // Asks the bus for `sender`'s identity, unless a question is out already.
    void request(const std::string& sender);
    // When `message` answers one of the questions: the sender it was about,
    // and its identity (none when the bus could not give it: the caller has
    // gone). Not an answer of ours: nullopt.
    std::optional<std::pair<std::string, std::optional<Caller>>> take(DBusMessage* message);

private:
    Outbox& bus_;
    std::unordered_map<std::string, Caller> known_;
    std::unordered_map<uint32_t, std::string> asked_;  // by the serial of the question
    std::unordered_set<std::string> askedFor_;
};

// Reads GetConnectionCredentials' dictionary.
Caller parseCredentials(DBusMessage* reply);

}  // namespace zorvd
