// The topics under which the service publishes its changes, and the
// subscriptions it keeps for them: a subscription is a prefix of a topic, so
// the prefixes of these topics (the empty one included) are the only ones
// worth keeping.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/notifications.h"

namespace zorvd {

using zorv::protocol::kNotifyTopics;

inline bool isNotifyTopic(const std::string& topic) {
    return std::find(std::begin(kNotifyTopics), std::end(kNotifyTopics), topic) != std::end(kNotifyTopics);
}

// Every prefix of every topic, each once, in byte order.
inline const std::vector<std::string>& topicPrefixes() {
    static const std::vector<std::string> prefixes = [] {
        std::vector<std::string> all;
        for (const std::string topic : kNotifyTopics)
            for (std::size_t n = 0; n <= topic.size(); ++n) all.push_back(topic.substr(0, n));
        std::sort(all.begin(), all.end());
        all.erase(std::unique(all.begin(), all.end()), all.end());
        return all;
    }();
    return prefixes;
}

// The index of `prefix` in topicPrefixes(), or -1 when no topic starts with it.
inline int topicPrefixIndex(std::string_view prefix) {
    const std::vector<std::string>& all = topicPrefixes();
    auto found = std::lower_bound(all.begin(), all.end(), prefix,
                                  [](const std::string& a, std::string_view b) { return a < b; });
    return found != all.end() && *found == prefix ? static_cast<int>(found - all.begin()) : -1;
}

}  // namespace zorvd
