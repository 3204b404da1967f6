// Which D-Bus signature a list of C++ types travels as, decided at compile
// time, so that a call whose arguments or reply types disagree with the
// protocol table does not build. Only the types the service's methods use are
// known here; any other type fails to compile as well.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace zorv {
namespace wire {

// Each known type consumes its code from `sig` at `at` and returns where the
// next one starts, or -1 when the signature says otherwise.
template <typename T, typename = void>
struct Code;

template <char C>
struct Basic {
    static constexpr char code = C;
    static constexpr int match(const char* sig, int at) { return at >= 0 && sig[at] == C ? at + 1 : -1; }
};

// A file descriptor sent along with a call; the receiver gets its own copy.
struct Descriptor {
    int fd;
};

template <> struct Code<int32_t> : Basic<'i'> {};
template <> struct Code<uint32_t> : Basic<'u'> {};
template <> struct Code<uint64_t> : Basic<'t'> {};
template <> struct Code<std::string> : Basic<'s'> {};
template <> struct Code<Descriptor> : Basic<'h'> {};

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

// A struct: a type whose fields() ties its members, in the order they travel
// (auto fields() { return std::tie(id, name); }).
template <typename Tied>
struct Fields;

template <typename... F>
struct Fields<std::tuple<F...>> {
    static constexpr int match(const char* sig, int at) {
        ((at = Code<std::decay_t<F>>::match(sig, at)), ...);
        return at;
    }
};

template <typename T>
struct Code<T, std::void_t<decltype(std::declval<T&>().fields())>> {
    static constexpr int match(const char* sig, int at) {
        at = Fields<decltype(std::declval<T&>().fields())>::match(sig, Basic<'('>::match(sig, at));
        return Basic<')'>::match(sig, at);
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
