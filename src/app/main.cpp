#include <CLI/CLI.hpp>

#include <iostream>
#include <optional>

#include "app/hooks_command.hpp"
#include "parley_version.hpp"

int main(int argc, char** argv) {
  CLI::App app{"Parley: follow and drive Claude Code sessions from your phone and by voice"};
  app.set_version_flag("--version", std::string("parley ") + parley::kVersion);
  app.require_subcommand(0, 1);

  auto* run = app.add_subcommand("run", "Start the application (the default)");
  app.add_subcommand("pair", "Pair a phone");
  app.add_subcommand("devices", "List paired phones");
  app.add_subcommand("revoke", "Revoke a paired phone");
  app.add_subcommand("sessions", "List the Claude Code sessions found now");
  auto* hooks = app.add_subcommand("hooks", "Install, remove or inspect the Claude Code hooks");
  hooks->require_subcommand(1);
  std::optional<parley::app::HooksAction> hooksAction;
  hooks
      ->add_subcommand("install",
                       "Put the relay in place and register it in Claude Code's settings")
      ->callback([&] { hooksAction = parley::app::HooksAction::install; });
  hooks->add_subcommand("uninstall", "Remove the relay's entries from Claude Code's settings")
      ->callback([&] { hooksAction = parley::app::HooksAction::uninstall; });
  hooks->add_subcommand("status", "Show whether the relay is installed (exit 0 when it is)")
      ->callback([&] { hooksAction = parley::app::HooksAction::status; });

  CLI11_PARSE(app, argc, argv);

  if (hooksAction)
    return parley::app::runHooksCommand(*hooksAction, std::cout, std::cerr);

  (void)run;
  std::cerr << "parley: this command is not built yet\n";
  return 1;
}
