#include "panel/setup_checklist.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>
#include <exception>

#include "base/process.hpp"

namespace parley::panel {

namespace json = boost::json;

std::optional<std::string> SetupChecklist::accountFromStatus(std::string_view statusJSON) {
  boost::system::error_code ec;
  const json::value status = json::parse(statusJSON, ec);
  if (ec || !status.is_object())
    return std::nullopt;
  const json::object& o = status.get_object();
  const json::value* state = o.if_contains("BackendState");
  if (!state || !state->is_string() || state->get_string() != "Running")
    return std::nullopt;
  const json::value* self = o.if_contains("Self");
  const json::value* users = o.if_contains("User");
  if (!self || !self->is_object() || !users || !users->is_object())
    return std::nullopt;
  const json::value* id = self->get_object().if_contains("UserID");
  if (!id || !id->is_number())
    return std::nullopt;
  // The user table is keyed by the id written as a decimal number.
  const json::value* user =
      users->get_object().if_contains(std::to_string(id->to_number<std::int64_t>()));
  if (!user || !user->is_object())
    return std::nullopt;
  const json::value* login = user->get_object().if_contains("LoginName");
  if (!login || !login->is_string() || login->get_string().empty())
    return std::nullopt;
  return std::string(login->get_string());
}

SetupChecklist SetupChecklist::run(const std::string& tailscaleExecutable) {
  SetupChecklist result;
  result.tmuxFound = base::findExecutable("tmux").has_value();
  try {
    result.claudeFound = base::runProcess("/usr/bin/env", {"which", "claude"}).ok();
  } catch (const std::exception&) {
    result.claudeFound = false;
  }
  result.tailscaleInstalled = base::isExecutableFile(tailscaleExecutable);
  try {
    const base::ProcessResult status = base::runProcess(tailscaleExecutable, {"status", "--json"});
    result.tailscaleAccount = accountFromStatus(status.out);
  } catch (const std::exception&) {
    result.tailscaleAccount.reset();
  }
  return result;
}

}  // namespace parley::panel
