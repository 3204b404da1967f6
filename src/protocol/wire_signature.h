// Which D-Bus signature a list of C++ types travels as, decided at compile
// time, so that a call whose arguments or reply types disagree with the
// protocol table does not build. Only the types the service's methods use are
// known here; any other type fails to compile as well.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

namespace zorv {
namespace wire {

// Each known type consumes its code from `sig` at `at` and returns where the
// next one starts, or -1 when the signature says otherwise.
template <typename T>
struct Code;

template <char C>
struct Basic {
    static constexpr int match(const char* sig, int at) { return at >= 0 && sig[at] == C ? at + 1 : -1; }
};

template <> struct Code<int32_t> : Basic<'i'> {};
template <> struct Code<uint32_t> : Basic<'u'> {};
template <> struct Code<uint64_t> : Basic<'t'> {};
template <> struct Code<std::string> : Basic<'s'> {};

template <typename T>
struct Code<std::vector<T>> {
    static constexpr int match(const char* sig, int at) {
        return Code<T>::match(sig, Basic<'a'>::match(sig, at));
    }
};

template <typename K, typename V>
struct Code<std::map<K, V>> {
    static constexpr int match(const char* sig, int at) {
        at = Basic<'{'>::match(sig, Basic<'a'>::match(sig, at));
        return Basic<'}'>::match(sig, Code<V>::match(sig, Code<K>::match(sig, at)));
    }
};

// Whether `Types...`, in order, make up exactly `signature`.
template <typename... Types>
constexpr bool travelsAs(const char* signature) {
    int at = 0;
    ((at = Code<std::decay_t<Types>>::match(signature, at)), ...);
    return at >= 0 && signature[at] == '\0';
}

}  // namespace wire
}  // namespace zorv
