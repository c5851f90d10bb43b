#pragma once

// What the benchmarks and the soak that run the real application share: a
// scripted `tailscale` whose tailnet is up, and a captured hook event.

#include <boost/json.hpp>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/files.hpp"

namespace parley::bench {

// Writes bin/tailscale: this computer, named `dnsName`, on a tailnet that
// serves. Returns a PATH value that finds it first.
inline std::string scriptedTailscale(const std::filesystem::path& bin, std::string_view dnsName) {
  std::filesystem::create_directories(bin);
  std::string script =
      "#!/bin/sh\ncase \"$1\" in\n  status) echo '{\"BackendState\":\"Running\","
      "\"Self\":{\"DNSName\":\"";
  script.append(dnsName).append("\"}}' ;;\n  serve) ;;\n  *) exit 2 ;;\nesac\n");
  base::writeFileAtomically(bin / "tailscale", script);
  std::filesystem::permissions(bin / "tailscale", std::filesystem::perms::owner_all);
  const char* system = std::getenv("PATH");
  return bin.string().append(":").append(system ? system : "/usr/bin:/bin");
}

// A captured PreToolUse (Bash) of Claude Code 2.1.222, as Claude Code hands
// it to the relay: without the keys the relay adds.
inline boost::json::object capturedPreToolUse() {
  std::ifstream in(std::filesystem::path(PARLEY_SOURCE_DIR) /
                   "tests/fixtures/claude-code-2.1.222/hooks.ndjson");
  for (std::string line; std::getline(in, line);) {
    if (line.empty())
      continue;
    boost::json::object o = boost::json::parse(line).as_object();
    if (o.at("hook_event_name") == "PreToolUse" && o.at("tool_name") == "Bash") {
      o.erase("tmux_pane");
      o.erase("tmux_env");
      return o;
    }
  }
  throw std::runtime_error("no captured Bash PreToolUse in the fixtures");
}

}  // namespace parley::bench
