// A JSON decoder that stands in for the standard json.loads on the texts it
// fully understands, building the very same objects; it declines (returns
// an empty Ref, no error set) on everything else, which is then left to
// json.loads itself.
#pragma once

#include "builtins.hpp"
#include "ops.hpp"

namespace profile_json {

// json.loads(text) for an exact str the decoder fully understands; an empty
// Ref when it declines. Throws rt::PyError for memory errors and for an
// exception raised by a signal handler during a long text.
rt::Ref try_decode(rt::Obj text);

}  // namespace profile_json
