#pragma once

// The control panel of a running application: its server, what only the
// panel keeps (the setup checklist), and the actions its page may ask for,
// each mapped onto one of the model's operations. Lives on the main thread;
// state changes reach the page at most once per turn of the main loop.

#include <boost/asio/any_io_executor.hpp>
#include <boost/json/value.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "link/preferences.hpp"
#include "panel/panel_server.hpp"
#include "panel/panel_view.hpp"
#include "panel/setup_checklist.hpp"

namespace parley::app {
class AppModel;
}

namespace parley::panel {

class ControlPanel : public std::enable_shared_from_this<ControlPanel> {
 public:
  struct Options {
    std::uint16_t port = 8788;
    std::string tailscaleExecutable;
    link::Preferences preferences;
  };

  // Binds the port (throws boost::system::system_error when it cannot).
  static std::shared_ptr<ControlPanel> create(boost::asio::any_io_executor main,
                                              boost::asio::any_io_executor workers,
                                              std::shared_ptr<app::AppModel> model,
                                              Options options);
  ~ControlPanel();

  // Serves, and runs the setup checks once.
  void start();
  std::string address() const;
  std::uint16_t port() const;
  // The model changed: the page hears of it once the main loop is free.
  void changed();

  std::function<void()> onQuit;

  // One action of the page: nothing when taken, else why it was refused.
  std::optional<std::string> act(std::string_view name, const boost::json::value& body);
  std::string state() const;
  // One read of the page (a session's changes, one file's diff), answered
  // through `answer` from the thread that read it.
  void read(std::string_view name, const boost::json::value& body,
            std::function<void(PanelServer::Api::Found)> answer);

 private:
  ControlPanel(boost::asio::any_io_executor main, boost::asio::any_io_executor workers,
               std::shared_ptr<app::AppModel> model, Options options);
  void runChecks();
  // Opens a file, folder or address with the desktop's default program.
  void open(std::string target);

  boost::asio::any_io_executor main_;
  boost::asio::any_io_executor workers_;
  std::weak_ptr<app::AppModel> model_;
  Options options_;
  std::shared_ptr<PanelServer> server_;
  std::optional<SetupChecklist> checklist_;
  bool setupCompleted_ = false;
  bool publishQueued_ = false;
};

// Opens `target` with xdg-open, as an argument (never through a shell),
// without waiting for it. False when xdg-open could not be started.
bool openWithDesktop(const std::string& target);

}  // namespace parley::panel
