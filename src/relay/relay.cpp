#include "relay/relay.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <boost/json/serialize.hpp>
#include <boost/json/string_view.hpp>
#include <cerrno>
#include <cstring>

namespace parley::relay {

namespace {

// Milliseconds left, rounded up so a deadline a fraction of a millisecond
// away still gets a last attempt; 0 once it has passed.
int millisecondsLeft(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero())
    return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

// Bounds the blocking connect() and send() below by the time left; the
// kernel honours the send timeout for both on Unix stream sockets.
bool limitSendTime(int fd, Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero())
    return false;
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(left).count() + 1;
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(micros / 1000000);
  timeout.tv_usec = static_cast<suseconds_t>(micros % 1000000);
  return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0;
}

constexpr std::string_view kWhitespace = " \t\r\n";

void appendMember(std::string& line, std::string_view key, const char* value, bool& needsComma) {
  if (value == nullptr || std::strlen(value) > base::hookTmuxValueMaxBytes)
    return;
  if (needsComma)
    line.push_back(',');
  needsComma = true;
  line += boost::json::serialize(boost::json::string_view(key));
  line.push_back(':');
  line += boost::json::serialize(boost::json::string_view(value));
}

}  // namespace

std::optional<std::string> readAll(int fd, Clock::time_point deadline, std::size_t limit) {
  if (fd < 0)
    return std::nullopt;
  std::string input;
  char buffer[65536];
  while (true) {
    pollfd ready{fd, POLLIN, 0};
    const int waited = ::poll(&ready, 1, millisecondsLeft(deadline));
    if (waited < 0) {
      if (errno == EINTR)
        continue;
      return std::nullopt;
    }
    if (waited == 0)
      return std::nullopt;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      if (input.size() + static_cast<std::size_t>(n) > limit)
        return std::nullopt;
      input.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return input;
    } else if (errno != EINTR && errno != EAGAIN) {
      return std::nullopt;
    }
  }
}

std::optional<std::string> composeLine(std::string_view input, const char* tmuxPane,
                                       const char* tmuxEnv) {
  const std::size_t first = input.find_first_not_of(kWhitespace);
  if (first == std::string_view::npos)
    return std::nullopt;
  const std::size_t last = input.find_last_not_of(kWhitespace);
  const std::string_view body = input.substr(first, last + 1 - first);
  std::string line;
  line.reserve(body.size() + 256);
  line.append(body);
  // Outside strings a line feed is white space, and inside one it is not
  // valid JSON anyway; either way it must not split the event in two.
  std::replace(line.begin(), line.end(), '\n', ' ');
  if (body.size() >= 2 && body.front() == '{' && body.back() == '}') {
    line.pop_back();
    const bool empty = body.find_first_not_of(kWhitespace, 1) == body.size() - 1;
    bool needsComma = !empty;
    appendMember(line, "tmux_pane", tmuxPane, needsComma);
    appendMember(line, "tmux_env", tmuxEnv, needsComma);
    line.push_back('}');
  }
  line.push_back('\n');
  return line;
}

bool sendLine(const std::string& socketPath, std::string_view line, Clock::time_point deadline) {
  sockaddr_un address{};
  if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path)
    return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath.data(), socketPath.size());

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  bool sent = false;
  while (limitSendTime(fd, deadline)) {
    // A full backlog makes connect() wait for room, up to the send timeout.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      sent = true;
      break;
    }
    if (errno != EINTR)
      break;
  }
  std::size_t written = 0;
  while (sent && written < line.size()) {
    if (!limitSendTime(fd, deadline)) {
      sent = false;
      break;
    }
    // MSG_NOSIGNAL: a listener that resets the connection must not kill us
    // with SIGPIPE.
    const ssize_t n = ::send(fd, line.data() + written, line.size() - written, MSG_NOSIGNAL);
    if (n > 0)
      written += static_cast<std::size_t>(n);
    else if (n < 0 && errno != EINTR)
      sent = false;
  }
  ::close(fd);
  return sent;
}

void run(int inputFd, const std::string& socketPath, const char* tmuxPane, const char* tmuxEnv,
         Clock::time_point deadline) {
  const std::optional<std::string> input = readAll(inputFd, deadline);
  if (!input)
    return;
  const std::optional<std::string> line = composeLine(*input, tmuxPane, tmuxEnv);
  if (!line)
    return;
  sendLine(socketPath, *line, deadline);
}

}  // namespace parley::relay
