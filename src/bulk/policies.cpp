// Resolving a policy description into identifiers: the names it gives, grouped
// by category, go to the service in one call, and its answer is turned into
// identifier lists under the same categories and names.
#include <zorv/client.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "client/bus_limits.h"
#include "client/call_helpers.h"
#include "client/service_call.h"

namespace {

// Category -> name -> field -> value, as the service answers.
using Reply = std::map<std::string, std::map<std::string, std::map<std::string, uint64_t>>>;
using Ids = std::map<std::string, std::map<std::string, std::vector<ZORV_ID>>>;

// Whether every string of the description can go on the bus and the whole
// fits in one message; logs why not.
bool acceptPolicies(const char* function, const std::map<std::string, std::vector<std::string>>& policies) {
    zorv::BodySize body;
    body.array(8);
    for (const auto& [category, names] : policies) {
        if (!zorv::acceptString(function, "policy category", category.c_str())) return false;
        body.entry().string(category.size()).array(4);
        for (const std::string& name : names) {
            if (!zorv::acceptString(function, "policy name", name.c_str())) return false;
            body.string(name.size());
        }
    }
    return zorv::fitsOneMessage(function, "Policy description", body.bytes());
}

// Packages and recursively covered paths get one identifier per field of the
// reply, carrying its value as pkg_id or path_id; every other category gets
// one identifier per name, assembled from its fields.
void addIdentifiers(const Reply& reply, Ids& ids) {
    for (const auto& [category, names] : reply) {
        const bool package = category == "subject_pkg" || category == "object_pkg";
        const bool recursive = category == "subject_recurfile" || category == "object_recurfile";
        for (const auto& [name, fields] : names) {
            if (package || recursive) {
                for (const auto& field : fields) {
                    const uint64_t v = field.second;
                    ids[category][name].push_back(package ? ZORV_ID{v, 0, 0} : ZORV_ID{0, 0, v});
                }
                continue;
            }
            ZORV_ID id{0, 0, 0};
            zorv::fillIdentifier(id, fields);
            ids[category][name].push_back(id);
        }
    }
}

}  // namespace

int policies_parse(const std::map<std::string, std::vector<std::string>>& policies, Ids& ids) {
    if (!acceptPolicies(__func__, policies)) return -1;
    return zorv::guarded(__func__, -1, [&] {
        Reply reply;
        zorv::Call<zorv::protocol::policies_parse>(policies).invoke(reply);
        addIdentifiers(reply, ids);
        return 0;
    });
}
