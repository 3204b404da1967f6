// Values that travel as the arguments and replies of the service's methods
// and that both ends must spell alike.
#pragma once

#include <cstdint>

namespace zorv {
namespace protocol {

// The pkgType of setLabelForPkg and of the recorded packages: what the files
// belong to. Callers label packages and the two kinds of application; the
// service itself records interpreter trees.
enum PackageType : uint32_t {
    kPackageTypeNone = 0,
    kPackageTypePackage = 1,
    kPackageTypeInterpreter = 2,
    kPackageTypeDrova = 3,
    kPackageTypeLunvex = 4,
};

// The keys of an identifier dictionary (a{st}); a key that is absent reads 0.
constexpr const char* kIdKeyPkg = "pkg_id";
constexpr const char* kIdKeyFile = "file_id";
constexpr const char* kIdKeyPath = "path_id";

}  // namespace protocol
}  // namespace zorv
