// Scripting the stand-in service over its control interface.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/service_names.h"
#include "service_connection.h"

namespace zorvtest {

namespace names = zorv::protocol::standin_control;

struct Received {
    std::string member, signature, arguments;
};

class Standin {
public:
    void reset() { control(names::kReset, "", {}); }
    void reply(const std::string& member, const std::vector<WireValue>& values) {
        control(names::kScriptReply, member, values);
    }
    void error(const std::string& member, const std::string& name, const std::string& text) {
        control(names::kScriptError, member, {name, text});
    }
    void delay(const std::string& member, uint32_t ms) { control(names::kScriptDelay, member, {ms}); }
    // Sends the delayed replies not yet sent, before this call returns.
    void sendPending() { control(names::kSendPending, "", {}); }
    // The next caller of `member` first gets `count` signals it never asked for.
    void noise(const std::string& member, uint32_t count) { control(names::kScriptNoise, member, {count}); }
    std::vector<Received> received();

private:
    // One control call (naming `member` if given); an error fails the test.
    ServiceConnection::Reply control(const char* what, const std::string& member, std::vector<WireValue> values);
    ServiceConnection bus_;
};

// A test against the stand-in, which starts without scripts or recorded calls.
class StandinTest : public ::testing::Test {
protected:
    void SetUp() override { standin.reset(); }
    Standin standin;
};

}  // namespace zorvtest
