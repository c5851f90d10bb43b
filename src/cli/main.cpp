#include <CLI/CLI.hpp>

#include <iostream>
#include <optional>

#include "cli/doctor.hpp"
#include "cli/hooks_command.hpp"
#include "cli/pair_commands.hpp"
#include "cli/run_command.hpp"
#include "cli/service_command.hpp"
#include "cli/sessions_command.hpp"
#include "cli/voice_commands.hpp"
#include "parley_version.hpp"

int main(int argc, char** argv) {
  using namespace parley::cli;
  CLI::App app{"Parley: follow and drive Claude Code sessions from your phone and by voice"};
  app.set_version_flag("--version", std::string("parley ") + parley::kVersion);
  app.require_subcommand(0, 1);

  RunOptions runOptions;
  auto* run = app.add_subcommand("run", "Start the application (the default)");
  run->add_option("--port", runOptions.port, "Port of the phone link (default 8787)");
  run->add_option("--panel-port", runOptions.panelPort, "Port of the local control panel");
  run->add_flag("--voice", runOptions.voice, "Start listening at the desk at once");
  bool noOpen = false;
  run->add_flag("--no-open", noOpen, "Do not open the control panel in a browser");

  auto* panel =
      app.add_subcommand("panel", "Open the control panel of the running Parley, or start Parley");

  std::string deviceName;
  bool json = false;
  std::uint16_t pairPort = 8787;
  auto* pair = app.add_subcommand("pair", "Pair a phone: prints a QR code to scan");
  pair->add_option("--name", deviceName, "The phone's name")->required();
  pair->add_flag("--json", json, "Print only the pairing payload as JSON");
  pair->add_option("--port", pairPort, "Port of the running application's phone link");

  auto* devices = app.add_subcommand("devices", "List paired phones");
  devices->add_flag("--json", json, "Print JSON");

  std::string deviceID;
  auto* revoke = app.add_subcommand("revoke", "Revoke a paired phone");
  revoke->add_option("DEVICE_ID", deviceID, "The device's id (see `parley devices`)")->required();

  auto* sessions = app.add_subcommand("sessions", "List the Claude Code sessions found now");
  sessions->add_flag("--json", json, "Print the session descriptors as JSON");

  auto* hooks = app.add_subcommand("hooks", "Install, remove or inspect the Claude Code hooks");
  hooks->require_subcommand(1);
  std::optional<HooksAction> hooksAction;
  hooks
      ->add_subcommand("install",
                       "Put the relay in place and register it in Claude Code's settings")
      ->callback([&] { hooksAction = HooksAction::install; });
  hooks->add_subcommand("uninstall", "Remove the relay's entries from Claude Code's settings")
      ->callback([&] { hooksAction = HooksAction::uninstall; });
  hooks->add_subcommand("status", "Show whether the relay is installed (exit 0 when it is)")
      ->callback([&] { hooksAction = HooksAction::status; });

  auto* service = app.add_subcommand("service", "Run Parley as a systemd user service");
  service->require_subcommand(1);
  std::optional<ServiceAction> serviceAction;
  service->add_subcommand("install", "Enable and start the service for this user")->callback([&] {
    serviceAction = ServiceAction::install;
  });
  service->add_subcommand("uninstall", "Stop and disable the service")->callback([&] {
    serviceAction = ServiceAction::uninstall;
  });
  service->add_subcommand("status", "Show whether the service runs (exit 0 when it does)")
      ->callback([&] { serviceAction = ServiceAction::status; });

  DoctorOptions doctorOptions;
  auto* doctor = app.add_subcommand("doctor", "Check this machine's setup for Parley");
  doctor->add_flag("--json", json, "Print the checks as JSON");
  doctor->add_option("--port", doctorOptions.port, "Port of the phone link (default 8787)");
  int checkSeconds = 4;
  auto* voice = app.add_subcommand("voice", "Desktop voice");
  auto* voiceCheck = voice->require_subcommand(1)->add_subcommand(
      "check", "List the audio devices, record a few seconds, print what was heard, speak");
  voiceCheck->add_option("--seconds", checkSeconds, "How long to record")->check(CLI::Range(1, 60));
  std::string sayText;
  auto* say = app.add_subcommand("say", "Speak a text through the configured voice");
  say->add_option("TEXT", sayText, "What to say")->required();

  CLI11_PARSE(app, argc, argv);
  runOptions.openPanel = !noOpen;

  if (serviceAction)
    return runServiceCommand(*serviceAction, parley::app::currentExecutableDirectory() / "parley",
                             std::cout, std::cerr);
  if (*doctor) {
    doctorOptions.executableDirectory = parley::app::currentExecutableDirectory();
    return doctorCommand(doctorOptions, json, std::cout);
  }

  if (*voiceCheck)
    return voiceCheckCommand(checkSeconds, std::cout, std::cerr);
  if (*say)
    return sayCommand(sayText, std::cout, std::cerr);

  if (hooksAction)
    return runHooksCommand(*hooksAction, std::cout, std::cerr);
  if (*pair)
    return pairCommand(deviceName, json, pairPort, std::cout, std::cerr);
  if (*devices)
    return devicesCommand(json, std::cout, std::cerr);
  if (*revoke)
    return revokeCommand(deviceID, std::cout, std::cerr);
  if (*sessions)
    return sessionsCommand(json, std::cout, std::cerr);
  if (*panel)
    return panelCommand(runOptions, std::cout, std::cerr);
  return runApplication(runOptions, std::cout, std::cerr);
}
