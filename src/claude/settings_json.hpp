#pragma once

// Settings text as the installer writes it into a file people also edit by
// hand: pretty-printed with keys sorted, "/" unescaped, numbers read by
// parseSettings() as they were written, and other numbers written so that
// they read back as the same kind (an integral double keeps its ".0", so a
// merge never turns 1.0 into 1).

#include <boost/json/value.hpp>
#include <string>
#include <string_view>

namespace parley::claude {

// Parses settings text keeping every number exactly as written: a number
// becomes a string holding its text behind a tag no parsed string carries,
// which serializeSettings() writes back verbatim. Boost.JSON's own number
// parsing rounds some doubles wrongly and turns 1e400 into infinity, and a
// rewrite must never change a value the user wrote. Code that looks at the
// result may still compare such values for equality. Nesting up to 1000
// levels is accepted. Throws std::runtime_error for text that is not JSON.
boost::json::value parseSettings(std::string_view text);

std::string serializeSettings(const boost::json::value& value);

}  // namespace parley::claude
