#include "panel/control_panel.hpp"

#include <boost/asio/post.hpp>
#include <boost/json/serialize.hpp>
#include <exception>
#include <stdexcept>

#include "app/app_model.hpp"
#include "app/thread_hops.hpp"
#include "app/web_sites.hpp"
#include "base/exception_text.hpp"
#include "claude/model_prices.hpp"
#include "desktop/detached_process.hpp"
#include "panel/panel_server.hpp"
#include "protocol/wire_coding.hpp"

namespace parley::panel {

namespace asio = boost::asio;
namespace json = boost::json;

namespace {

constexpr std::string_view kSetupKey = "hasCompletedSetup";

std::string stringField(const json::value& body, std::string_view key) {
  const json::value* v = body.as_object().if_contains(key);
  return v && v->is_string() ? std::string(v->get_string()) : std::string();
}

}  // namespace

bool openWithDesktop(const std::string& target) {
  try {
    desktop::spawnDetached({"xdg-open", target});
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::shared_ptr<ControlPanel> ControlPanel::create(asio::any_io_executor main,
                                                   asio::any_io_executor workers,
                                                   std::shared_ptr<app::AppModel> model,
                                                   Options options) {
  std::shared_ptr<ControlPanel> panel(
      new ControlPanel(main, std::move(workers), std::move(model), std::move(options)));
  std::weak_ptr<ControlPanel> weak = panel;
  panel->server_ = PanelServer::create(
      main, panel->options_.port, web::panelSite(),
      PanelServer::Api{
          .state = [weak] { return weak.lock() ? weak.lock()->state() : std::string("{}"); },
          .act = [weak](std::string_view name,
                        const json::value& body) -> std::optional<std::string> {
            if (auto self = weak.lock())
              return self->act(name, body);
            return "Parley is quitting.";
          },
          .read =
              [weak](std::string_view name, const json::value& body,
                     std::function<void(PanelServer::Api::Found)> answer) {
                if (auto self = weak.lock())
                  return self->read(name, body, std::move(answer));
                answer({.problem = "Parley is quitting."});
              }});
  return panel;
}

ControlPanel::ControlPanel(asio::any_io_executor main, asio::any_io_executor workers,
                           std::shared_ptr<app::AppModel> model, Options options)
    : main_(std::move(main)),
      workers_(std::move(workers)),
      model_(model),
      options_(std::move(options)),
      setupCompleted_(options_.preferences.boolean(kSetupKey).value_or(false)) {}

ControlPanel::~ControlPanel() {
  if (server_)
    server_->stop();
}

void ControlPanel::start() {
  server_->start();
  runChecks();
}

std::string ControlPanel::address() const {
  return server_->address();
}

std::uint16_t ControlPanel::port() const {
  return server_->port();
}

void ControlPanel::changed() {
  if (publishQueued_)
    return;
  publishQueued_ = true;
  asio::post(main_, [weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->publishQueued_ = false;
      self->server_->publish(self->state());
    }
  });
}

std::string ControlPanel::state() const {
  const auto model = model_.lock();
  if (!model)
    return "{}";
  PanelFacts facts{.state = model->snapshot(), .log = &model->entries()};
  app::DesktopActions& desktop = model->desktop();
  facts.voiceRunning = desktop.voiceRunning();
  facts.voice = desktop.voiceDisplay();
  facts.activeSession = model->activeSession();
  facts.checklist = checklist_;
  facts.hasCompletedSetup = setupCompleted_;
  facts.relayPath = desktop.relayPath().string();
  facts.registeredEvents = desktop.registeredEvents();
  facts.notifications = model->alerts().settings();
  facts.phoneMayGrantModes = model->phoneMayGrantModes();
  facts.whereabouts = model->alerts().whereaboutsText();
  facts.pushSubject = model->phoneLink().pushSubject();
  facts.prices = &model->modelPrices();
  facts.pricesProblem = model->modelPricesProblem();
  facts.pricesFile = model->modelPricesFile().string();
  return PanelView::render(facts);
}

void ControlPanel::runChecks() {
  app::offThread(
      workers_, main_, weak_from_this(),
      [executable = options_.tailscaleExecutable] { return SetupChecklist::run(executable); },
      [](ControlPanel& panel, const app::Outcome<SetupChecklist>& outcome) {
        if (outcome.error)
          return;
        panel.checklist_ = outcome.value;
        panel.changed();
      });
}

void ControlPanel::open(std::string target) {
  if (!openWithDesktop(target))
    if (auto model = model_.lock())
      model->log(app::LogEntry::Kind::error, "could not start xdg-open to open " + target);
}

std::optional<std::string> ControlPanel::act(std::string_view name, const json::value& body) {
  const auto model = model_.lock();
  if (!model)
    return "Parley is quitting.";
  const auto session = [&]() -> std::optional<protocol::SessionDescriptor> {
    const std::string id = stringField(body, "sessionID");
    for (const auto& d : model->sessions())
      if (d.sessionID == id)
        return d;
    return std::nullopt;
  };

  if (name == "pair") {
    const std::string device = stringField(body, "deviceName");
    if (device.empty())
      return "Give the device a name first.";
    model->phoneLink().makePairingOffer(device);
  } else if (name == "discardOffer") {
    model->phoneLink().discardPairingOffer();
  } else if (name == "revoke") {
    const std::string id = stringField(body, "deviceID");
    if (id.empty())
      return "Which device? The request named none.";
    model->phoneLink().revokeDevice(id);
  } else if (name == "installHooks") {
    model->desktop().installHooks();
  } else if (name == "uninstallHooks") {
    model->desktop().uninstallHooks();
  } else if (name == "recheckHooks") {
    model->desktop().refreshHookStatus();
  } else if (name == "revealBackup") {
    const auto& backup = model->desktop().lastBackupPath();
    if (!backup)
      return "No backup has been written in this run.";
    open(std::filesystem::path(*backup).parent_path().string());
  } else if (name == "openInTerminal" || name == "detach" || name == "attach") {
    const auto d = session();
    if (!d)
      return "That session is no longer running.";
    if (name == "openInTerminal")
      model->desktop().openInTerminal(*d);
    else
      model->setDetached(d->sessionID, name == "detach");
  } else if (name == "talk") {
    if (!model->desktop().voiceRunning())
      model->desktop().startVoice();
  } else if (name == "stopVoice") {
    if (model->desktop().voiceRunning())
      model->desktop().stopVoice();
  } else if (name == "clearLog") {
    model->clearLog();
  } else if (name == "setupRecheck") {
    runChecks();
    model->desktop().refreshHookStatus();
  } else if (name == "setupContinue") {
    try {
      options_.preferences.set(kSetupKey, true);
      setupCompleted_ = true;
    } catch (const std::exception& e) {
      return std::string("Could not store the setting: ") + e.what();
    }
  } else if (name == "setNotifications") {
    app::NotificationSettings settings;
    try {
      settings = app::NotificationSettings::parse(body);
    } catch (const std::invalid_argument& e) {
      return std::string("Not changed: ") + e.what() + ".";
    }
    if (auto problem = model->setNotificationSettings(std::move(settings)))
      return problem;
  } else if (name == "setPhoneGrantModes") {
    const auto* allowed = body.is_object() ? body.as_object().if_contains("allowed") : nullptr;
    if (allowed == nullptr || !allowed->is_bool())
      return std::string("Not changed: \u201callowed\u201d must be true or false.");
    if (auto problem = model->setPhoneMayGrantModes(allowed->as_bool()))
      return problem;
  } else if (name == "setPrices") {
    const json::value* rows = body.as_object().if_contains("models");
    claude::ModelPrices prices;
    try {
      prices = claude::ModelPrices::fromRows(rows ? *rows : json::value());
    } catch (const std::invalid_argument& e) {
      return std::string("Not changed: ") + e.what() + ".";
    }
    if (auto problem = model->setModelPrices(std::move(prices)))
      return problem;
  } else if (name == "openTailscale") {
    open(checklist_ && checklist_->tailscaleInstalled ? "https://login.tailscale.com/admin"
                                                      : "https://tailscale.com/download/linux");
  } else if (name == "quit") {
    if (onQuit)
      asio::post(main_, onQuit);
  } else {
    return "Unknown action \u201c" + std::string(name) + "\u201d.";
  }
  changed();
  return std::nullopt;
}

// The session is looked up by the driver, which reads in the folder it
// registered for it, never one the page names, on its reader strand: the
// main thread never waits on a working tree.
void ControlPanel::read(std::string_view name, const json::value& body,
                        std::function<void(PanelServer::Api::Found)> answer) {
  const auto model = model_.lock();
  const auto commands = model ? model->commands() : nullptr;
  if (!commands)
    return answer({.problem = "Parley is quitting."});
  protocol::SessionCommand command;
  const std::string id = stringField(body, "sessionID");
  if (id.empty())
    return answer({.problem = "Which session? The request named none."});
  if (name == "changes") {
    command = protocol::GetChanges{.sessionID = id};
  } else if (name == "fileDiff") {
    const auto area = protocol::enumFromRaw<protocol::ChangedFile::Area>(stringField(body, "area"));
    const std::string path = stringField(body, "path");
    if (!area || path.empty())
      return answer({.problem = "Which file? The request needs its path and area."});
    command = protocol::GetFileDiff{.sessionID = id, .path = path, .area = *area};
  } else {
    return answer({.problem = "Unknown read \u201c" + std::string(name) + "\u201d."});
  }
  commands->run(std::move(command), [answer = std::move(answer)](std::exception_ptr error,
                                                                 protocol::CommandResult result) {
    if (error)
      return answer({.problem = base::exceptionText(error)});
    std::visit(
        [&](const auto& found) {
          using T = std::decay_t<decltype(found)>;
          if constexpr (std::is_same_v<T, protocol::Changes> ||
                        std::is_same_v<T, protocol::FileDiff>)
            answer({.json = json::serialize(protocol::encodeValue(found))});
          else
            answer({.problem = "The reader answered with something else."});
        },
        result);
  });
}

}  // namespace parley::panel
