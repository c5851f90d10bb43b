#pragma once

// Fixed lists behind the risk-tier classifier. They are shown to the user as
// they stand and cannot be edited.

#include <array>
#include <string_view>

namespace parley::protocol {

namespace DenyPatterns {
// Regular-expression sources, matched case-insensitively against the
// flattened text of a tool's input.
inline constexpr std::array<std::string_view, 27> patterns{
    R"(\brm\s+(-[a-zA-Z]*[rRf][a-zA-Z]*\s+))",
    R"(\brm\s+--(recursive|force)\b)",
    R"(\bfind\b[^|;]*-delete\b)",
    R"(\b(sudo|doas|su)\b)",
    R"(\bgit\s+push\b[^;|]*(--force|-f)\b)",
    R"(\bgit\s+reset\s+--hard\b)",
    R"(\bgit\s+clean\s+-[a-z]*[fd])",
    R"(\bgit\s+branch\s+-D\b)",
    R"(\b(chmod|chown)\b[^;|]*-R\b)",
    R"(\b(dd|mkfs|diskutil|fdisk)\b)",
    R"(\b(killall|launchctl|defaults\s+write)\b)",
    R"(\b(curl|wget)\b[^|]*\|\s*(ba|z|fi)?sh\b)",
    R"(\bDROP\s+(TABLE|DATABASE|SCHEMA)\b)",
    R"(\bTRUNCATE\b)",
    R"(\bDELETE\s+FROM\b(?![^;]*\bWHERE\b))",
    R"(\bvercel\b[^;|]*\b(remove|rm)\b)",
    R"(\bvercel\b[^;|]*--prod\b)",
    R"(\bgh\s+repo\s+delete\b)",
    R"(\bnpm\s+publish\b)",
    R"(\bsupabase\b[^;|]*\bdb\s+reset\b)",
    R"(\.env(\.|\b))",
    R"(\bcredentials\.json\b)",
    R"(\bid_rsa\b)",
    R"(\.ssh/)",
    R"(\bsecurity\s+find-(generic|internet)-password\b)",
    R"(\b(ANTHROPIC_API_KEY|SUPABASE_SERVICE_ROLE_KEY|[A-Z_]*_TOKEN)\s*=)",
    R"(\.claude/(settings|hooks))",
};
}  // namespace DenyPatterns

namespace DenyPaths {
// Path prefixes no tool may touch; "~" is the user's home directory.
inline constexpr std::array<std::string_view, 12> paths{
    "/etc", "/usr",      "/System", "/Library", "/bin",      "/sbin",
    "/var", "~/.claude", "~/.ssh",  "~/.aws",   "~/.config", "~/Library",
};
}  // namespace DenyPaths

}  // namespace parley::protocol
