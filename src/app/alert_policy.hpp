#pragma once

// Decides where each alert goes, following the person: a permission request
// or a question is a desktop notification while they sit at the computer,
// and a push to the phone while they are away (idle for the set time, or the
// screen locked) or once it has waited unanswered at the desk for the set
// time. A long turn's end is pushed only while they are away. "Always" pushes
// wherever they are, "never" does not push at all. Where the login session
// tells nothing (no session, no system bus) the phone is pushed to whenever
// its page is closed, as with "always".
//
// It sees every message published to the phone, and lives on the main
// thread with its timers.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "app/activity_log.hpp"
#include "app/notification_settings.hpp"
#include "desktop/logind.hpp"
#include "protocol/server_messages.hpp"

namespace parley::app {

class AlertPolicy : public std::enable_shared_from_this<AlertPolicy> {
 public:
  struct Outlets {
    // To the phones whose page is closed (Web Push, which leaves out a
    // connected phone).
    std::function<void(const protocol::ServerMessage&)> push;
    // A notification on this desktop.
    std::function<void(const std::string& summary, const std::string& body)> desk;
    std::function<void(LogEntry::Kind, std::string)> log;
    // Whether a phone is connected now (it then shows the card itself).
    std::function<bool()> phoneConnected;
  };

  enum class Whereabouts { atDesk, away, unknown };

  static std::shared_ptr<AlertPolicy> create(boost::asio::any_io_executor main,
                                             NotificationSettings settings, Outlets outlets);
  ~AlertPolicy();
  AlertPolicy(const AlertPolicy&) = delete;
  AlertPolicy& operator=(const AlertPolicy&) = delete;

  // A request already waiting keeps the time it was given.
  void setSettings(NotificationSettings settings);
  const NotificationSettings& settings() const { return settings_; }

  void presenceChanged(const desktop::Presence& presence);
  // Logind cannot tell, and why: said once in the log.
  void presenceUnavailable(const std::string& why);

  // Every message as it goes to the phone.
  void observe(const protocol::ServerMessage& message);

  Whereabouts whereabouts() const;
  // How the panel words it.
  std::string whereaboutsText() const;

 private:
  AlertPolicy(boost::asio::any_io_executor main, NotificationSettings settings, Outlets outlets);
  void request(const protocol::ServerMessage& message, const std::string& sessionID,
               const std::string& requestID);
  void unanswered(const std::string& requestID);
  void settle(const std::string& sessionID, bool questionsOnly);
  std::string sessionName(const std::string& sessionID) const;
  void deskNotice(const protocol::ServerMessage& message);

  struct Waiting {
    std::string sessionID;
    bool question = false;
    protocol::ServerMessage message;
    std::unique_ptr<boost::asio::steady_timer> timer;  // set while at the desk
  };

  boost::asio::any_io_executor main_;
  NotificationSettings settings_;
  Outlets out_;
  std::optional<desktop::Presence> presence_;
  std::string presenceProblem_;
  std::map<std::string, std::string> sessionNames_;
  std::map<std::string, Waiting> waiting_;  // by request id
};

}  // namespace parley::app
