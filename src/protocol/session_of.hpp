#pragma once

// The session a wire record names, whether its field is plain or optional;
// none for the records that name no session.

#include <optional>
#include <string>

namespace parley::protocol {

template <class Record>
std::optional<std::string> sessionOf(const Record& record) {
  if constexpr (requires { record.sessionID; })
    return record.sessionID;
  else
    return std::nullopt;
}

}  // namespace parley::protocol
