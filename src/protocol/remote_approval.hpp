#pragma once

// Which choices of a permission dialog may be made away from the keyboard:
// from the phone, or by a spoken answer at the desk. A destructive call is
// only ever approved by a person at the keyboard, so for it only a denial
// is taken; a choice that grants more than this one call is never taken.

#include <optional>
#include <string>

#include "protocol/session.hpp"

namespace parley::protocol {

enum class RemoteRefusal {
  // The choice outlives this one call ("don't ask again", "this session").
  grantsMore,
  // The call is destructive and the choice is not a denial.
  keyboardOnly,
};

// Nothing when a remote answer may choose an option of `kind` for a request
// of `tier`.
constexpr std::optional<RemoteRefusal> remoteRefusal(RiskTier tier, PermissionOption::Kind kind) {
  if (kind == PermissionOption::Kind::allowAlways)
    return RemoteRefusal::grantsMore;
  if (tier == RiskTier::destructive && kind != PermissionOption::Kind::deny)
    return RemoteRefusal::keyboardOnly;
  return std::nullopt;
}

// What the person is told when a destructive call was approved remotely.
inline constexpr const char* kKeyboardOnlyText =
    "this request is destructive and can only be approved at the keyboard; from here it can "
    "only be denied";

}  // namespace parley::protocol
