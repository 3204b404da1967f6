// zorv-labelmgr-standin [--ready-file PATH]: serves the label manager
// interface on the system bus named by DBUS_SYSTEM_BUS_ADDRESS. The ready file
// is created once the service name is owned.
#include <cstdio>
#include <cstring>
#include <exception>

#include "standin_service.h"

int main(int argc, char** argv) {
    const char* readyFile = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--ready-file") == 0 && i + 1 < argc) readyFile = argv[++i];
    }
    try {
        standin::Service service;
        if (readyFile) {
            if (FILE* f = std::fopen(readyFile, "w")) std::fclose(f);
        }
        std::printf("stand-in label manager service ready\n");
        std::fflush(stdout);
        service.run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zorv-labelmgr-standin: %s\n", e.what());
        return 1;
    }
    return 0;
}
