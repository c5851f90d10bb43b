#include "app/app_model.hpp"

// How the model's parts are made and joined: who tells whom, on which
// thread. What the model does with them is in app_model.cpp.

#include <boost/asio/bind_executor.hpp>

#include "app/desk_interrupts.hpp"
#include "app/hook_pipeline.hpp"
#include "app/null_desktop_voice.hpp"
#include "app/session_events.hpp"
#include "app/thread_hops.hpp"
#include "app/vocabulary_feed.hpp"
#include "app/web_sites.hpp"
#include "base/paths.hpp"
#include "claude/hook_ingest.hpp"
#include "claude/transcript_usage.hpp"
#include "desktop/logind.hpp"
#include "link/tailscale.hpp"
#include "parley_version.hpp"
#include "terminal/session_driver.hpp"
#include "terminal/session_registry.hpp"

namespace parley::app {

namespace asio = boost::asio;
using Kind = LogEntry::Kind;

AppModel::Options AppModel::Options::defaults() {
  Options o;
  o.home = base::homeDirectory();
  o.hookSocket = base::hookSocketPath();
  o.phoneLink.tailscaleExecutable = link::defaultTailscaleExecutable();
  o.executableDirectory = currentExecutableDirectory();
  o.prices = claude::ModelPrices::defaultFile();
  o.phoneLink.server.serverVersion = kVersion;
  o.phoneLink.server.site = web::phoneSite();
  o.phoneLink.server.images =
      std::make_shared<link::ImageUploads>(base::cacheDirectory() / "uploads");
  o.power.makeInhibitor = [] { return std::make_unique<desktop::LogindInhibitor>(); };
  return o;
}

std::shared_ptr<AppModel> AppModel::create(asio::io_context& main, asio::any_io_executor workers,
                                           asio::any_io_executor terminal, Options options,
                                           std::unique_ptr<desktop::DesktopVoice> voice) {
  std::shared_ptr<AppModel> model(
      new AppModel(main, std::move(workers), std::move(terminal), std::move(options)));
  model->wire(voice ? std::move(voice) : std::make_unique<NullDesktopVoice>());
  return model;
}

AppModel::AppModel(asio::io_context& main, asio::any_io_executor workers,
                   asio::any_io_executor terminal, Options options)
    : main_(main),
      workers_(std::move(workers)),
      terminal_(std::move(terminal)),
      options_(std::move(options)),
      ingest_(claude::HookIngest::create(workers_, options_.hookSocket)),
      registry_(std::make_shared<terminal::SessionRegistry>(
          workers_, terminal::SessionSources::forHome(options_.home, options_.procRoot))),
      sweepTimer_(main) {}

AppModel::~AppModel() {
  ingest_->stop();
  permissions_->stop();
  sweepTimer_.cancel();
}

void AppModel::wire(std::unique_ptr<desktop::DesktopVoice> voice) {
  std::weak_ptr<AppModel> weak = weak_from_this();
  const asio::any_io_executor main = main_.get_executor();
  auto logFn = [weak](Kind kind, std::string text) {
    if (auto self = weak.lock())
      self->log(kind, std::move(text));
  };
  auto changedFn = [weak] {
    if (auto self = weak.lock())
      self->changed();
  };

  try {
    usage_ = std::make_shared<claude::TranscriptUsage>(
        options_.prices.empty() ? claude::ModelPrices()
                                : claude::ModelPrices::withFile(options_.prices));
  } catch (const std::exception& e) {
    pricesProblem_ = e.what();
    log(Kind::error, std::string(e.what()) + " \u2014 estimating with the built-in prices");
    usage_ = std::make_shared<claude::TranscriptUsage>();
  }
  // Owned here and run on this thread: `this` outlives every call.
  deskInterrupts_ = std::make_shared<DeskInterrupts>(
      main, usage_,
      DeskInterrupts::Outlets{
          .sessions = [this]() -> const std::vector<protocol::SessionDescriptor>& {
            return sessions_;
          },
          .publish =
              [this](protocol::ServerMessage m) {
                if (auto line = SessionEvents::logLine(m))
                  log(Kind::cmd, std::move(*line));
                phoneLink_->publish(std::move(m));
              },
          .turnEnded = [this](const std::string& id) { hooks_->turnInterrupted(id); }});
  power_ = std::make_unique<PowerPolicy>(main, options_.power);
  power_->onUnavailable = [logFn](const std::string& why) {
    logFn(Kind::error, "idle sleep cannot be prevented: " + why);
  };

  std::vector<std::string> problems;
  const NotificationSettings settings = NotificationSettings::load(preferences(), &problems);
  for (const std::string& problem : problems)
    log(Kind::error, "notification setting ignored: " + problem);
  alerts_ =
      AlertPolicy::create(main, settings,
                          {.push =
                               [weak](const protocol::ServerMessage& m) {
                                 if (auto self = weak.lock())
                                   self->phoneLink_->pushToPhone(m);
                               },
                           .desk =
                               [weak](const std::string& summary, const std::string& body) {
                                 if (auto self = weak.lock())
                                   self->deskNotice(summary, body);
                               },
                           .log = logFn,
                           .phoneConnected =
                               [weak] {
                                 auto self = weak.lock();
                                 return self && self->phoneLink_->connectedDevice().has_value();
                               }});

  // The phone's presence keeps the computer awake.
  PhoneLinkController::Options linkOptions = options_.phoneLink;
  linkOptions.detached = detached_;
  phoneLink_ = PhoneLinkController::create(main, workers_, std::move(linkOptions),
                                           {.log = logFn,
                                            .changed = changedFn,
                                            .phoneConnected =
                                                [weak] {
                                                  if (auto self = weak.lock())
                                                    self->power_->activity();
                                                },
                                            .phoneDisconnected =
                                                [weak] {
                                                  if (auto self = weak.lock())
                                                    self->power_->release("peer disconnected");
                                                },
                                            .phoneGreeted =
                                                [weak] {
                                                  if (auto self = weak.lock())
                                                    self->vocabulary_->phoneConnected();
                                                },
                                            .alert =
                                                [weak](const protocol::ServerMessage& m) {
                                                  if (auto self = weak.lock())
                                                    self->alerts_->observe(m);
                                                }});
  phoneLink_->setPushContent(settings.vapidSubject, settings.pingOnly);

  auto publishFn = [weak](protocol::ServerMessage m) {
    if (auto self = weak.lock())
      self->phoneLink_->publish(std::move(m));
  };
  auto cmdLogFn = [main, weak](const std::string& line) {
    postIfAlive(main, weak, [line](AppModel& m) { m.log(Kind::cmd, line); });
  };
  permissions_ = std::make_shared<terminal::PermissionTracker>(
      terminal_,
      terminal::PermissionTracker::Outlets{
          .describe = &SessionEvents::describe,
          .publish =
              [main, weak](protocol::ServerMessage m) {
                postIfAlive(main, weak, [m = std::move(m)](AppModel& self) mutable {
                  if (auto line = SessionEvents::logLine(m))
                    self.log(Kind::cmd, std::move(*line));
                  if (const auto* r = std::get_if<protocol::PermissionRequest>(&m);
                      r && r->narration.speak)
                    self.desktop_->speakFor(r->narration, r->sessionID);
                  const auto* interrupted = std::get_if<protocol::Interrupted>(&m);
                  const std::string idle = interrupted ? interrupted->sessionID : "";
                  self.phoneLink_->publish(std::move(m));
                  if (!idle.empty())
                    self.hooks_->turnInterrupted(idle);
                });
              },
          .log = cmdLogFn},
      terminal::PermissionTracker::Options{});
  auto questions = std::make_shared<terminal::QuestionBook>();
  auto injected = std::make_shared<terminal::InjectedPrompts>();
  auto details = std::make_shared<narration::DetailStore>();
  events_ = std::make_unique<SessionEvents>(SessionEvents::Parts{.permissions = permissions_,
                                                                 .questions = questions,
                                                                 .injected = injected,
                                                                 .details = details,
                                                                 .publish = publishFn});
  vocabulary_ = std::make_shared<VocabularyFeed>(main, workers_, publishFn);

  // From here on every command a phone sends reaches the session driver.
  terminal::SessionDriver::Options driverOptions = options_.driver;
  driverOptions.permissions = permissions_;
  driverOptions.questions = questions;
  driverOptions.injected = injected;
  driverOptions.detail = [details](const std::string& ref) { return details->get(ref); };
  if (const auto images = options_.phoneLink.server.images) {
    // Last week's uploads go at start as well as with each new one.
    images->prune();
    driverOptions.imagePath = [images](const std::string& id) { return images->path(id); };
  }
  driverOptions.reader = workers_;
  grantModes_->store(preferences().boolean(kPhoneGrantModesKey).value_or(false));
  driverOptions.phoneMayGrantModes = [allowed = grantModes_] { return allowed->load(); };
  driverOptions.listChanged = [weak, main = main_.get_executor()] {
    asio::post(main, [weak] {
      if (auto self = weak.lock())
        self->rescan();
    });
  };
  driverOptions.opened = [weak, main = main_.get_executor()](const std::string& socket,
                                                             const std::string& pane) {
    postIfAlive(main, weak, [where = std::pair(socket, pane)](AppModel& self) {
      self.openedFromPhone_.emplace(where, false);
      self.changed();
    });
  };
  if (!driverOptions.catalog)
    driverOptions.catalog = std::make_shared<terminal::ProjectCatalog>(options_.home, cmdLogFn);
  if (!driverOptions.launcher) {
    // Sessions opened from the phone report their hooks to this Parley,
    // whichever socket it listens on.
    driverOptions.launcher =
        std::make_shared<terminal::SessionLauncher>(terminal::SessionLauncher::Options{
            .home = options_.home,
            .environment = {"PARLEY_SOCKET=" + options_.hookSocket.string()}});
  }
  driver_ = std::make_shared<terminal::SessionDriver>(terminal_, registry_, cmdLogFn,
                                                      std::move(driverOptions));
  phoneCommands_ = std::make_shared<FollowedCommands>(detached_, driver_);
  phoneLink_->attach(phoneCommands_);

  desktop_ =
      DesktopActions::create(main, workers_, options_.executableDirectory, std::move(voice),
                             driver_, {.log = logFn, .changed = changedFn, .activeSession = [weak] {
                                         auto self = weak.lock();
                                         if (!self)
                                           return std::optional<std::string>();
                                         // Voice neither speaks for nor
                                         // types into a detached session.
                                         auto id = self->activeSession();
                                         if (id && self->detached_->has(*id))
                                           id.reset();
                                         return id;
                                       }});
  desktop_->refreshHookStatus();

  hooks_ = std::make_shared<HookPipeline>(
      main_, registry_, options_.home,
      HookPipeline::Outlets{.log = logFn,
                            // A hook's session list is the newest: the panel
                            // and desktop voice follow it without waiting for
                            // the next sweep.
                            .publish =
                                [weak](protocol::ServerMessage m) {
                                  auto self = weak.lock();
                                  if (!self)
                                    return;
                                  auto* u = std::get_if<protocol::SessionUpdate>(&m);
                                  const bool update = u != nullptr;
                                  if (u != nullptr) {
                                    self->usage_->annotate(u->sessions);
                                    self->listed(u->sessions);
                                  }
                                  self->phoneLink_->publish(std::move(m));
                                  if (update)
                                    self->deskInterrupts_->looked();
                                },
                            .activity =
                                [weak] {
                                  if (auto self = weak.lock())
                                    self->power_->activity();
                                },
                            .answer =
                                [weak](const protocol::Narration& n, const std::string& id) {
                                  if (auto self = weak.lock())
                                    self->desktop_->speakFor(n, id);
                                },
                            .changed = changedFn,
                            .followed =
                                [weak](const protocol::HookPayload& p,
                                       const std::optional<terminal::RegisteredSession>& s) {
                                  if (auto self = weak.lock()) {
                                    self->events_->onHook(p, s);
                                    self->toolFinished(p);
                                  }
                                }});

  // The event counts against the listener's backlog until the main thread
  // has finished it, so a flood waits in the writers, not in our queues.
  ingest_->setOnPayload([hooks = std::weak_ptr(hooks_)](const protocol::HookPayload& payload,
                                                        const std::string&,
                                                        claude::HookIngest::Receipt receipt) {
    if (auto pipeline = hooks.lock())
      pipeline->handle(payload, std::move(receipt));
  });
  ingest_->setOnError([main, weak](const claude::HookIngestError& error) {
    postIfAlive(main, weak, [text = std::string(error.what())](AppModel& m) {
      m.log(Kind::error, "hook ingest: " + text);
    });
  });

  power_->onWillSleep = [this] { willSleep(); };
  power_->onDidWake = [this] { didWake(); };
  power_->start();
}

}  // namespace parley::app
