#pragma once

// Fixed lists behind the risk-tier classifier. They are shown to the user as
// they stand and cannot be edited.

#include <array>
#include <string_view>

namespace parley::protocol {

namespace DenyPatterns {
// Regular-expression sources, matched case-insensitively against the
// flattened text of a tool's input.
inline constexpr std::array<std::string_view, 38> patterns{
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
    // The Linux equivalents of the system and secret guards above.
    R"(\bsystemctl\b)",
    // As a command only: "shutdown(fd, ...)" in a written file is not one.
    R"((^|[\n;&|(`])\s*(shutdown|reboot|poweroff|halt)(\s|$|[;&|)`]))",
    R"(\b(wipefs|sfdisk|parted|mkswap|blkdiscard|shred)\b)",
    R"((>|\bof=)\s*/dev/(sd|hd|vd|xvd|nvme|mmcblk|md|dm-|loop|mapper/|disk/))",
    R"(\b(chmod|chown|chgrp)\b[^;|]*(--recursive\b|\s/(\s|$)))",
    R"((>|\btee\b[^;|]*?)\s*/(etc|boot|usr|bin|sbin|lib|lib64|proc/sys|sys)/)",
    R"(\bsecret-tool\b)",
    R"((\.local/share/keyrings|\.gnupg|\.password-store)\b)",
    R"(\bpass\s+(show|ls|insert|edit|generate|rm|cp|mv|git|otp)\b)",
    R"((~|\$HOME|\$\{HOME\})/\.ssh\b)",
    R"(\bgpg\b[^;|]*--(export-secret-keys|export-secret-subkeys|delete-secret-keys|decrypt)\b)",
};
}  // namespace DenyPatterns

namespace DenyPaths {
// Path prefixes no tool may touch; "~" is the user's home directory.
inline constexpr std::array<std::string_view, 21> paths{
    "/etc",
    "/usr",
    "/System",
    "/Library",
    "/bin",
    "/sbin",
    "/var",
    "~/.claude",
    "~/.ssh",
    "~/.aws",
    "~/.config",
    "~/Library",
    // Linux: boot files, devices, kernel settings, libraries and secret stores.
    "/boot",
    "/dev",
    "/sys",
    "/proc/sys",
    "/lib",
    "/lib64",
    "~/.gnupg",
    "~/.local/share/keyrings",
    "~/.password-store",
};
}  // namespace DenyPaths

}  // namespace parley::protocol
