#pragma once

// Sends the phone each session's contextual vocabulary: the words a
// recogniser should expect in that project (names at the project root, the
// git branch, the session's name). Sent when a phone connects and whenever
// a session's terms change; the directory is read off the main thread.

#include <boost/asio/any_io_executor.hpp>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "protocol/server_messages.hpp"
#include "protocol/session.hpp"

namespace parley::app {

class VocabularyFeed : public std::enable_shared_from_this<VocabularyFeed> {
 public:
  static constexpr std::size_t kMaxTerms = 200;
  // Entries of the project root looked at, at most.
  static constexpr std::size_t kMaxRootEntries = 400;

  // `publish` is called on `main`; the project roots are read on `workers`.
  VocabularyFeed(boost::asio::any_io_executor main, boost::asio::any_io_executor workers,
                 std::function<void(protocol::ServerMessage)> publish);

  // The session list changed (main thread). With `reread`, the project
  // roots are read even when no session's directory, branch or name changed
  // (a sweep: files come and go).
  void sessionsChanged(std::vector<protocol::SessionDescriptor> sessions, bool reread = false);
  // A phone said hello: it gets every session's terms again (main thread).
  void phoneConnected();

  // Blocking: what one session's terms are now.
  static std::vector<std::string> termsFor(const protocol::SessionDescriptor& session);

 private:
  boost::asio::any_io_executor main_;
  boost::asio::any_io_executor workers_;
  std::function<void(protocol::ServerMessage)> publish_;
  std::map<std::string, std::vector<std::string>> terms_;  // main thread
  // What the terms were last made from, per session: its directory, branch
  // and name. A list that differs only in states and times (most of them)
  // costs no directory reads.
  std::vector<std::string> sources_;  // main thread
};

}  // namespace parley::app
