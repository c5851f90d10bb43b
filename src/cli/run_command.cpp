#include "cli/run_command.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/thread_pool.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <ostream>

#include "app/app_model.hpp"
#include "base/files.hpp"
#include "base/paths.hpp"
#include "desktop/voice_session.hpp"
#include "desktop/voice_settings.hpp"
#include "link/preferences.hpp"
#include "panel/control_panel.hpp"

namespace parley::cli {

namespace asio = boost::asio;

namespace {

// The running application's panel address, secret included, for `parley
// panel`: beside the hook socket, readable by this user only.
std::filesystem::path panelAddressFile(const std::filesystem::path& hookSocket) {
  return hookSocket.parent_path() / "panel-address";
}

bool haveDesktop() {
  return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
}

// Run by a service manager, our output is kept in a log others may read (the
// journal, for the adm group): the panel's secret must not go there. systemd
// names every unit's run in INVOCATION_ID, so this holds for a unit installed
// before this check and for one the person wrote, with no flag to forget. A
// terminal is the person's own even when its shell inherited the variable.
bool outputIsKept() {
  return ::isatty(STDOUT_FILENO) == 0 && std::getenv("INVOCATION_ID") != nullptr;
}

}  // namespace

int runApplication(const RunOptions& options, std::ostream& out, std::ostream& err) {
  app::AppModel::Options modelOptions = app::AppModel::Options::defaults();
  if (options.port)
    modelOptions.phoneLink.server.port = *options.port;

  // One application per hook socket: a second one would find both of its
  // listeners taken and run on with neither.
  std::optional<base::FileLock> instance;
  try {
    base::createDirectories(modelOptions.hookSocket.parent_path());
    instance.emplace(modelOptions.hookSocket, base::FileLock::Wait::no);
  } catch (const base::FileError& e) {
    if (e.error() == EWOULDBLOCK)
      err << "parley: Parley is already running for " << modelOptions.hookSocket.string()
          << "; quit it first\n";
    else
      err << "parley: cannot start: " << e.what() << '\n';
    return 1;
  }
  // A reader that goes away (`parley run | head -1`) must end the
  // application through its normal shutdown, which removes the hook socket,
  // not through SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);

  asio::io_context main;
  // Blocking work (tmux, /proc, files, child processes) runs here, never on
  // the main thread.
  asio::thread_pool workers(2);
  // The session driver's own thread: tmux calls and injection waits never
  // hold up the pool that runs the phone link.
  asio::thread_pool terminalThread(1);
  std::shared_ptr<app::AppModel> model;
  desktop::VoiceSettings voiceSettings =
      desktop::VoiceSettings::load(base::configDirectory() / "preferences.json");
  try {
    model = app::AppModel::create(
        main, workers.get_executor(), terminalThread.get_executor(), modelOptions,
        desktop::makeDesktopVoice(voiceSettings, main.get_executor(), workers.get_executor()));
  } catch (const std::exception& e) {
    err << "parley: cannot start: " << e.what() << '\n';
    return 1;
  }
  // Whatever construction already logged, then each entry as it comes.
  for (const app::LogEntry& entry : model->entries())
    out << app::formatLogLine(entry) << '\n';
  model->onLogEntry = [&out, &main](const app::LogEntry& entry) {
    if (!(out << app::formatLogLine(entry) << std::endl))
      main.stop();
  };

  out << "Parley " << modelOptions.phoneLink.server.serverVersion << " \u2014 phone link on port "
      << modelOptions.phoneLink.server.port << "; press Ctrl-C to quit" << std::endl;
  std::shared_ptr<panel::ControlPanel> panel;
  try {
    panel = panel::ControlPanel::create(
        main.get_executor(), workers.get_executor(), model,
        {.port = options.panelPort.value_or(8788),
         .tailscaleExecutable = modelOptions.phoneLink.tailscaleExecutable,
         .preferences = link::Preferences()});
    panel->onQuit = [&main] { main.stop(); };
    model->onChange = [weak = std::weak_ptr<panel::ControlPanel>(panel)] {
      if (auto p = weak.lock())
        p->changed();
    };
    // The secret in the address is for the person at this computer: it goes
    // to the terminal, the browser and a file only they can read, never into
    // the activity log.
    if (outputIsKept())
      out << "control panel at http://127.0.0.1:" << panel->port() << "/ (`parley panel` opens it)"
          << std::endl;
    else
      out << "control panel at " << panel->address() << std::endl;
    try {
      base::writeFileAtomically(panelAddressFile(modelOptions.hookSocket), panel->address());
    } catch (const std::exception& e) {
      model->log(app::LogEntry::Kind::error,
                 std::string("`parley panel` will not find the control panel: ") + e.what());
    }
  } catch (const std::exception& e) {
    model->log(app::LogEntry::Kind::error, std::string("control panel not started: ") + e.what());
  }

  asio::signal_set signals(main, SIGINT, SIGTERM, SIGHUP);
  signals.async_wait([&](const boost::system::error_code& ec, int) {
    if (!ec)
      main.stop();
  });
  for (const std::string& warning : voiceSettings.warnings)
    model->log(app::LogEntry::Kind::error, "voice settings: " + warning);
  model->start();
  if (panel) {
    panel->start();
    if (options.openPanel && haveDesktop() && !panel::openWithDesktop(panel->address()))
      model->log(app::LogEntry::Kind::error, "could not start xdg-open for the control panel");
  }
  if (options.voice)
    model->desktop().startVoice();
  main.run();

  if (panel) {
    std::error_code ignored;
    std::filesystem::remove(panelAddressFile(modelOptions.hookSocket), ignored);
  }
  panel.reset();
  model.reset();
  // The driver finishes the command in hand (it may still ask the registry
  // on the workers), then the workers run dry.
  terminalThread.join();
  workers.join();
  return 0;
}

int panelCommand(const RunOptions& options, std::ostream& out, std::ostream& err) {
  const std::filesystem::path socket = base::hookSocketPath();
  bool running = false;
  try {
    const base::FileLock probe(socket, base::FileLock::Wait::no);
  } catch (const base::FileError& e) {
    running = e.error() == EWOULDBLOCK;
    if (!running && e.error() != ENOENT) {
      err << "parley panel: " << e.what() << '\n';
      return 1;
    }
  }
  // Nobody runs: the application started here opens the panel itself. From
  // a menu there may be no output to log to; the log must not end the run.
  if (!running) {
    if (::fcntl(STDOUT_FILENO, F_GETFD) == -1)
      std::freopen("/dev/null", "w", stdout);
    return runApplication(options, out, err);
  }
  const std::string address = base::readFileIfReadable(panelAddressFile(socket)).value_or("");
  if (address.rfind("http://127.0.0.1:", 0) != 0) {
    err << "parley panel: Parley is running, but its control panel is not (its log says "
           "why)\n";
    return 1;
  }
  if (haveDesktop() && panel::openWithDesktop(address))
    return 0;
  out << "control panel at " << address << '\n';
  return 0;
}

}  // namespace parley::cli
