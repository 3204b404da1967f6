// Calls that disagree with the protocol table must not build; case 0 agrees with it and builds.
#include "client/service_call.h"

namespace protocol = zorv::protocol;
using zorv::Call;

void callOnce() {
    uint32_t u = 0;
    int32_t i = 0;
    std::map<std::string, uint64_t> ids;
#if ZORV_CASE == 0  // every shape that the table uses
    std::vector<uint64_t> pkgIds;
    std::map<std::string, std::map<std::string, std::map<std::string, uint64_t>>> policies;
    Call<protocol::getFileTid>(std::string("/p")).invoke(u);
    Call<protocol::setFileOid>(std::string("/p"), ids, i).invoke(i);
    Call<protocol::getPkgIds>(std::vector<std::string>{}).invoke(pkgIds, i);
    Call<protocol::policies_parse>(std::map<std::string, std::vector<std::string>>{}).invoke(policies);
    Call<protocol::setLabelForDrovaBaseFiles>(std::map<std::string, std::string>{}).invoke(i);
#elif ZORV_CASE == 1  // an argument of another type
    Call<protocol::setFileTid>(std::string("/p"), i, i).invoke(i);
#elif ZORV_CASE == 2  // an argument missing
    Call<protocol::setFileOid>(std::string("/p"), ids).invoke(i);
#elif ZORV_CASE == 3  // a reply of another type
    Call<protocol::getFileTid>(std::string("/p")).invoke(i);
#elif ZORV_CASE == 4  // a dictionary whose values are of another type
    std::map<std::string, uint32_t> tids;
    Call<protocol::showUserSetFileOid>().invoke(tids);
#elif ZORV_CASE == 5  // a member the service does not have
    Call<protocol::getFileTyd>(std::string("/p")).invoke(u);
#endif
}
