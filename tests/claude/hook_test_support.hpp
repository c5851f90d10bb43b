#pragma once

// Helpers shared by the listener and relay tests: a plain socket client and
// an inbox that records what a HookIngest reports.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "claude/hook_ingest.hpp"
#include "support/test_support.hpp"

namespace parley::test {

// A connected client socket; -1 when the connection failed.
inline int connectTo(const std::filesystem::path& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Writes everything unless the peer goes away; never raises SIGPIPE.
inline bool sendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0)
      return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Waits until the peer has closed its end (read gives end of stream or a
// reset), within `timeout`.
inline bool peerClosed(int fd, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char scratch[256];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0)
      continue;
    const ssize_t n = ::recv(fd, scratch, sizeof scratch, 0);
    if (n <= 0)
      return true;
  }
  return false;
}

// Half-closes a client connection and waits for the listener to close its
// end. After this returns, whatever the listener cut from the connection has
// been handed to its delivery strand, so anything sent later is delivered
// after it.
inline bool finishConnection(int fd) {
  ::shutdown(fd, SHUT_WR);
  const bool closed = peerClosed(fd);
  ::close(fd);
  return closed;
}

// Records what a listener reports, from its delivery strand.
class Inbox {
 public:
  void attach(claude::HookIngest& ingest) {
    ingest.setOnPayload([this](const protocol::HookPayload& payload, const std::string& line,
                               claude::HookIngest::Receipt) {
      std::lock_guard lock(mutex_);
      payloads_.push_back(payload);
      lines_.push_back(line);
    });
    ingest.setOnError([this](const claude::HookIngestError& error) {
      std::lock_guard lock(mutex_);
      errors_.push_back(error);
    });
  }

  std::size_t payloadCount() const {
    std::lock_guard lock(mutex_);
    return payloads_.size();
  }
  std::size_t errorCount() const {
    std::lock_guard lock(mutex_);
    return errors_.size();
  }
  bool waitForPayloads(std::size_t n,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    return waitUntil([&] { return payloadCount() >= n; }, timeout);
  }
  bool waitForErrors(std::size_t n) const {
    return waitUntil([&] { return errorCount() >= n; });
  }

  std::vector<protocol::HookPayload> payloads() const {
    std::lock_guard lock(mutex_);
    return payloads_;
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::vector<claude::HookIngestError> errors() const {
    std::lock_guard lock(mutex_);
    return errors_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<protocol::HookPayload> payloads_;
  std::vector<std::string> lines_;
  std::vector<claude::HookIngestError> errors_;
};

// A minimal hook line for `event`, with `sessionID` to tell lines apart.
inline std::string hookLine(std::string_view event, std::string_view sessionID) {
  return "{\"hook_event_name\":\"" + std::string(event) + "\",\"session_id\":\"" +
         std::string(sessionID) + "\"}";
}

}  // namespace parley::test
