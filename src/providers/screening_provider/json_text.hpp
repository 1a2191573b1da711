// Request bodies as the interpreter's `json.dumps(body)` writes them with its default
// settings, written natively for the plain built-in types they are made of. Where a value
// holds anything the native writer does not handle exactly as `json.dumps` does (subclasses,
// other types, cycles, very deep nesting), nothing is written: the caller then asks
// `json.dumps` itself, which also raises its own errors.
#pragma once

#include "support.hpp"

#include <optional>
#include <string>

namespace screening {

// One member of a request body: a text key and its value.
struct Member {
    const char* key;  // plain ASCII, written as it stands
    tsy::Handle value;
};

// The bodies of one call share their first member, {"detectors": ...}: its text is written
// once, and each body adds its own members after it.
class BodyHead {
public:
    // Nothing when `detectors` is not plain (the bodies then go through json.dumps).
    static std::optional<BodyHead> of(tsy::Handle detectors);
    // The text json.dumps gives for {"detectors": detectors, key: value, ...}, or nothing when
    // a value is not plain.
    std::optional<tsy::Ref> body(std::initializer_list<Member> members) const;

private:
    explicit BodyHead(std::string text) : text_(std::move(text)) {}
    std::string text_;  // `{"detectors": {...}`, without the closing brace
};

}  // namespace screening
