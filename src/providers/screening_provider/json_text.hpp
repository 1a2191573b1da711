// The text the interpreter's `json.dumps(value)` gives with its default settings, written
// natively for the plain built-in types that request bodies are made of.
#pragma once

#include "support.hpp"

#include <optional>
#include <string>

namespace screening {

// The JSON text of `value`, or nothing when `value` holds anything the native writer does
// not handle exactly as `json.dumps` does (subclasses, other types, cycles, very deep
// nesting): the caller then asks `json.dumps` itself, which also raises its own errors.
std::optional<tsy::Ref> dumps_plain(PyObject* value);

}  // namespace screening
