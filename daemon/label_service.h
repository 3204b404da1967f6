// The label manager service: answers every member of the interface from the
// store, lets only root change anything, commits each change before it
// answers and then announces it.
#pragma once

#include <dbus/dbus.h>

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "bus.h"
#include "notifier.h"
#include "store.h"
#include "wire.h"

namespace zorvd {

// What a committed change announces: the topic it is published under and
// the payload (a JSON object).
struct Notice {
    std::string topic, payload;
};

class LabelService {
public:
    // Throws std::logic_error when a member of the interface has no handler.
    LabelService(Store& store, Notifier& notifier, Bus& bus);

    // Answers one incoming message; never throws.
    void handle(DBusMessage* message);

private:
    // Reads the call, writes the whole reply and only then commits its
    // change, if any: after a commit nothing is left to fail but the sending.
    using Body = std::function<std::optional<Notice>(Reader&, Writer&)>;
    struct Handler {
        bool changes;  // root only
        Body body;
    };

    void answer(DBusMessage* call, const char* member, const Handler& handler);
    void add(const std::string& member, bool changes, Body body);
    void addAttributeFamilies();
    void addLookups();
    void addBulkAndPolicies();

    Store& store_;
    Notifier& notifier_;
    Bus& bus_;
    std::map<std::string, Handler> handlers_;
};

}  // namespace zorvd
