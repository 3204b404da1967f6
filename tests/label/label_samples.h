// Labels shared by the codec and attribute tests.
#pragma once

#include <zorv/labelmgr.hpp>

#include <random>
#include <vector>

namespace labeltest {

// Random numbers, each optional one zero half of the time so that every state
// byte turns up; textSafeFlags keeps inheritFlag_ to the values the text form
// accepts.
inline std::vector<Label> sampleLabels(size_t count, bool textSafeFlags) {
    std::mt19937_64 random(20240601);
    auto number = [&](bool optional) -> uint64_t {
        return optional && random() % 2 == 0 ? 0 : random() >> (random() % 64);
    };
    auto id = [&] { return Id(number(false), number(true), number(true)); };
    static const uint32_t kTextFlags[] = {0, 5, 7};
    auto flag = [&] { return textSafeFlags ? kTextFlags[random() % 3] : uint32_t(number(true)); };
    std::vector<Label> labels;
    for (size_t i = 0; i < count; ++i) labels.push_back(Label{id(), id(), id(), uint32_t(number(true)), flag()});
    return labels;
}

// The stored-format example: 57 bytes, state byte 0xE5.
inline Label exampleLabel() { return Label{Id(1, 2, 3), Id(4, 0, 0), Id(5, 0, 6), 7, 5}; }

}  // namespace labeltest
