// zorv-private-bus PROGRAM: the private bus for tests in other languages. It prints the bus's address and directory;
// each line "start" it reads starts the service PROGRAM on a fresh database (notifications on a socket there) and is
// answered "started" or "failed: WHY". When its input closes, or it dies of a signal, what it started ends.
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
            if (line != "start") {
                std::cout << "failed: unknown command" << std::endl;
                continue;
            }
            try {
                daemon.newDatabase().start();
                std::cout << "started" << std::endl;
            } catch (const std::exception& e) {
                // The directory goes with this program: what the service said goes where the test runner keeps it.
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
