#pragma once

// Settings text as the installer writes it into a file people also edit by
// hand: pretty-printed with keys sorted, "/" unescaped, and numbers written
// so that they read back as the same kind (an integral double keeps its
// ".0", so a merge never turns 1.0 into 1).

#include <boost/json/value.hpp>
#include <string>

namespace parley::claude {

std::string serializeSettings(const boost::json::value& value);

}  // namespace parley::claude
