#pragma once

// The one description of a live Claude Code session that the registry builds,
// the application shows and the phone receives, plus the small enumerations
// that travel with it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/hook_payload.hpp"
#include "protocol/wire_coding.hpp"

namespace parley::protocol {

enum class SessionState { idle, busy, waiting, ended };

template <>
struct EnumNames<SessionState> {
  static constexpr std::array<std::string_view, 4> names{"idle", "busy", "waiting", "ended"};
};

enum class RiskTier { low, elevated, destructive };

template <>
struct EnumNames<RiskTier> {
  static constexpr std::array<std::string_view, 3> names{"low", "elevated", "destructive"};
};

// One choice of a permission dialog.
struct PermissionOption {
  enum class Kind { allowOnce, allowAlways, deny, unknown };

  std::int64_t index = 0;
  std::string label;
  Kind kind = Kind::unknown;

  std::size_t hash() const;
  PARLEY_WIRE_RECORD(PermissionOption);
};

template <>
struct EnumNames<PermissionOption::Kind> {
  static constexpr std::array<std::string_view, 4> names{"allowOnce", "allowAlways", "deny",
                                                         "unknown"};
};

// Tokens as Claude Code's transcript records them for API requests.
struct TokenCounts {
  std::int64_t input = 0;
  std::int64_t output = 0;
  std::int64_t cacheWrite = 0;  // "cache_creation_input_tokens"
  std::int64_t cacheRead = 0;

  TokenCounts& operator+=(const TokenCounts& other);
  TokenCounts& operator-=(const TokenCounts& other);
  std::size_t hash() const;
  PARLEY_WIRE_RECORD(TokenCounts);
};

// What a session has used, from its transcript. Each figure that could not
// be had is absent, and `unknown` says why in words the phone shows: an
// estimate is never made up.
struct SessionUsage {
  TokenCounts session;
  TokenCounts lastTurn;  // since the person's last prompt
  std::optional<std::string> model;
  // The last request's input (cache included), and the model's window.
  std::optional<std::int64_t> contextTokens;
  std::optional<std::int64_t> contextWindow;
  // In US dollars, from the price table: an estimate.
  std::optional<double> estimatedCost;
  std::vector<std::string> unknown;
  // All of the above in one short line, as the phone, the panel and
  // `parley sessions` show it.
  std::string summary;

  std::size_t hash() const;
  PARLEY_WIRE_RECORD(SessionUsage);
};

struct SessionDescriptor {
  std::string sessionID;
  std::string paneID;
  std::string socketPath;
  std::string tmuxSession;
  std::int32_t pid = 0;
  std::string cwd;
  std::optional<std::string> displayName;
  std::optional<std::string> title;
  std::optional<std::string> gitBranch;
  std::optional<std::string> model;
  PermissionMode permissionMode = PermissionMode::default_;
  SessionState state = SessionState::idle;
  std::optional<std::string> waitingFor;
  std::optional<std::string> transcriptPath;
  std::optional<std::string> claudeVersion;
  Date lastActivity;
  // Why Parley types nothing into this session, in words the phone and the
  // panel show as they stand; absent when it may be driven. Decided once, by
  // the session registry.
  std::optional<std::string> announceOnly;
  // Added by the application from the transcript; the registry never sets it.
  std::optional<SessionUsage> usage;

  // tmuxSession when non-empty, else the last path component of cwd.
  std::string shortName() const;

  std::size_t hash() const;
  PARLEY_WIRE_RECORD(SessionDescriptor);
};

}  // namespace parley::protocol

template <>
struct std::hash<parley::protocol::PermissionOption> {
  std::size_t operator()(const parley::protocol::PermissionOption& o) const { return o.hash(); }
};

template <>
struct std::hash<parley::protocol::TokenCounts> {
  std::size_t operator()(const parley::protocol::TokenCounts& c) const { return c.hash(); }
};

template <>
struct std::hash<parley::protocol::SessionUsage> {
  std::size_t operator()(const parley::protocol::SessionUsage& u) const { return u.hash(); }
};

template <>
struct std::hash<parley::protocol::SessionDescriptor> {
  std::size_t operator()(const parley::protocol::SessionDescriptor& d) const { return d.hash(); }
};
