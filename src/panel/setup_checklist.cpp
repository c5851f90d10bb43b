#include "panel/setup_checklist.hpp"

#include "app/setup_checks.hpp"
#include "base/process.hpp"
#include "link/pairing.hpp"
#include "link/tailscale.hpp"

namespace parley::panel {

SetupChecklist SetupChecklist::run(const std::string& tailscaleExecutable) {
  using Status = app::SetupCheck::Status;
  SetupChecklist result;
  // The doctor's own checks: the two never disagree about a machine.
  result.tmuxFound = app::tmuxCheck().status == Status::ok;
  result.claudeFound = app::claudeCodeCheck().status != Status::fail;
  result.tailscaleInstalled = base::isExecutableFile(tailscaleExecutable);
  try {
    result.tailscaleAccount = link::TailscaleStatus(tailscaleExecutable).read().loginName;
  } catch (const link::PairingError&) {
    result.tailscaleAccount.reset();
  }
  return result;
}

}  // namespace parley::panel
