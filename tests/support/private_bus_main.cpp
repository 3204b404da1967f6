// zorv-private-bus PROGRAM: the private bus of the C++ tests, for tests written
// in another language. It starts a bus of its own, prints the bus's address
// and its directory on a line each, and then obeys its standard input, one
// command a line:
//   start [ENDPOINT]   starts the service PROGRAM on a fresh database, its
//                      notifications on ENDPOINT (a socket in the bus's
//                      directory by default), and answers "started" once it
//                      owns its name, or "failed: WHY"
// When its standard input closes it stops what it started and removes the
// directory; when it dies of a signal, what it started dies with it.
#include <iostream>
#include <stdexcept>
#include <string>

#include "service_daemon.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: zorv-private-bus PROGRAM\n";
        return 2;
    }
    try {
        zorvtest::ServiceDaemon daemon(argv[1]);
        std::cout << daemon.address() << "\n" << daemon.dir() << std::endl;
        std::string line;
        while (std::getline(std::cin, line)) {
            if (line != "start" && line.compare(0, 6, "start ") != 0) {
                std::cout << "failed: unknown command" << std::endl;
                continue;
            }
            try {
                daemon.newDatabase().start(line.size() > 6 ? line.substr(6) : "");
                std::cout << "started" << std::endl;
            } catch (const std::exception& e) {
                // The directory goes with this program: what the service said goes to the standard error, which the
                // test runner keeps.
                std::cerr << daemon.output();
                std::cout << "failed: " << e.what() << std::endl;
            }
        }
    } catch (const std::exception& e) {
        std::cerr << "zorv-private-bus: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
