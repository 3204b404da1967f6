// A stand-in for the label manager service, for tests. It owns the service's
// name on the bus it is pointed at, answers every method of the service
// interface and of its administration interface with its exact out-signature,
// and can be scripted over a second interface: a given reply, an error reply,
// a delayed reply or stray signals to the caller per method, and a record of
// every call it received.
// Unscripted, it answers with plain values of the method's out-signature.
#pragma once

#include <dbus/dbus.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace standin {

struct MessageUnref {
    void operator()(DBusMessage* m) const { dbus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<DBusMessage, MessageUnref>;

struct ConnectionClose {
    void operator()(DBusConnection* c) const {
        dbus_connection_close(c);
        dbus_connection_unref(c);
    }
};
using ConnectionPtr = std::unique_ptr<DBusConnection, ConnectionClose>;

class Service {
public:
    // Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS) and takes the
    // service name; throws std::runtime_error when either fails.
    Service();
    // Serves until the bus goes away.
    void run();

private:
    struct Script {
        MessagePtr replyFrom;  // control message whose arguments after the first make up the reply
        std::string errorName, errorText;
        int delayMs = 0;
        unsigned noise = 0;  // stray signals sent to the next caller before its reply
    };
    struct Record {
        std::string member, signature, arguments;
    };
    struct Pending {
        std::chrono::steady_clock::time_point due;
        MessagePtr reply;
    };

    void handle(DBusMessage* message);
    void answerService(DBusMessage* call);
    void answerControl(DBusMessage* call);
    void answerIntrospection(DBusMessage* call);
    void send(MessagePtr reply, int delayMs);
    void sendDue();
    int msUntilNextDue() const;

    ConnectionPtr connection_;
    std::map<std::string, Script> scripts_;
    std::vector<Record> records_;
    std::vector<Pending> pending_;
};

}  // namespace standin
