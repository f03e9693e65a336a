// A JSON decoder that stands in for the standard json.loads on the texts it
// fully understands, building the very same objects; it declines (returns
// an empty Ref, no error set) on everything else, which is then left to
// json.loads itself.
#pragma once

#include "ops.hpp"

namespace profile_json {

// Remembers the standard json.loads and its default decoder; called once
// when the module is executed.
void init();

// Whether `loads`, looked up on `json_module` just now, is still the
// standard json.loads with its default decoder.
bool is_standard_loads(PyObject* json_module, PyObject* loads);

// json.loads(text) for an exact str the decoder fully understands; an empty
// Ref when it declines. Throws rt::PyError only for memory errors.
rt::Ref try_decode(PyObject* text);

}  // namespace profile_json
