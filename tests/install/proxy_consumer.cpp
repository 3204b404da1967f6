// Built against the installed proxy header, dbus-c++ brought in by the library's pkg-config file or CMake package.
#include <zorv/client.hpp>
#include <zorv/proxy.hpp>

#include <cstdio>

int main(int argc, char**) {
    // Never run with arguments: the call makes linking need both libraries.
    if (argc > 1) {
        try {
            LabelMgrClient client(DBusConnectionManager::getInstance()->getConnection(), "/", "com.example");
            return client.setLabelForPkg({}, "", 0);
        } catch (const DBus::Error& e) {
            std::puts(e.message());
            return 1;
        }
    }
    std::puts("proxy consumer ok");
    return 0;
}
