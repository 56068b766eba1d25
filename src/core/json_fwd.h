// The JSON value type by name only, for headers that declare functions over
// it without needing the library whole; core/json.h has everything else.
#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "core/error.h"

namespace velk {

using Json = nlohmann::ordered_json;

// Typed mapping of object members (core/json.h): a value, or the error as a
// message text.
template <class T>
using Mapped = Result<T, std::string>;

}  // namespace velk
