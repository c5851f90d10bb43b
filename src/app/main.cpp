#include <CLI/CLI.hpp>

#include <iostream>

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
  app.add_subcommand("hooks", "Install, remove or inspect the Claude Code hooks");

  CLI11_PARSE(app, argc, argv);

  (void)run;
  std::cerr << "parley: this command is not built yet\n";
  return 1;
}
