// Labels for round-trip tests: random numbers, with every optional number
// zero in some of them so that every state byte turns up.
#pragma once

#include <zorv/labelmgr.hpp>

#include <random>
#include <vector>

namespace labeltest {

inline std::vector<Label> sampleLabels(size_t count, bool textSafeFlags) {
    std::mt19937_64 random(20240601);
    auto number = [&](bool optional) -> uint64_t {
        if (optional && random() % 2 == 0) return 0;
        return random() >> (random() % 64);
    };
    auto id = [&] { return Id(number(false), number(true), number(true)); };
    std::vector<Label> labels;
    for (size_t i = 0; i < count; ++i) {
        Label label;
        label.oid_ = id();
        label.sid_ = id();
        label.creatorOid_ = id();
        label.tid_ = static_cast<uint32_t>(number(true));
        static const uint32_t kFlags[] = {0, 5, 7};
        label.inheritFlag_ = textSafeFlags ? kFlags[random() % 3] : static_cast<uint32_t>(number(true));
        labels.push_back(label);
    }
    return labels;
}

// The label of the stored-format example: 57 bytes, state byte 0xE5.
inline Label exampleLabel() {
    Label label;
    label.oid_ = Id(1, 2, 3);
    label.sid_ = Id(4, 0, 0);
    label.creatorOid_ = Id(5, 0, 6);
    label.tid_ = 7;
    label.inheritFlag_ = 5;
    return label;
}

}  // namespace labeltest
