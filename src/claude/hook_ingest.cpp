#include "claude/hook_ingest.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstring>
#include <utility>

#include "base/files.hpp"
#include "base/paths.hpp"
#include "claude/hook_listener.hpp"

namespace parley::claude {

namespace asio = boost::asio;

const std::size_t HookIngest::maxPathBytes = sizeof(sockaddr_un::sun_path) - 1;

namespace {

sockaddr_un socketAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

// Removes what an earlier run left at `path`, but only a socket nobody
// listens on: a regular file there is the user's and is never deleted, and a
// live socket belongs to another running listener that must not lose its
// events. Returns the errno that makes the path unusable, or 0.
int clearStaleSocket(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0)
    return 0;
  if (!S_ISSOCK(st.st_mode))
    return EADDRINUSE;
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (probe >= 0) {
    const sockaddr_un address = socketAddress(path);
    const int rc = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int error = errno;
    ::close(probe);
    if (rc == 0 || error == EAGAIN)
      return EADDRINUSE;
  }
  ::unlink(path.c_str());
  return 0;
}

}  // namespace

std::filesystem::path HookIngest::defaultSocketPath() {
  return base::hookSocketPath();
}

std::shared_ptr<HookIngest> HookIngest::create(asio::any_io_executor executor,
                                               std::filesystem::path path) {
  return std::shared_ptr<HookIngest>(new HookIngest(std::move(executor), std::move(path)));
}

HookIngest::HookIngest(asio::any_io_executor executor, std::filesystem::path path)
    : path_(std::move(path)),
      acceptStrand_(asio::make_strand(executor)),
      deliveryStrand_(asio::make_strand(executor)),
      backlog_(std::make_shared<HookBacklog>()) {}

HookIngest::~HookIngest() {
  stop();
}

void HookIngest::setConnectionLimits(std::chrono::milliseconds deadline,
                                     std::size_t maxConnections) {
  std::lock_guard lock(mutex_);
  connectionDeadline_ = deadline;
  maxConnections_ = maxConnections;
}

void HookIngest::setBacklogLimits(std::size_t maxLines, std::size_t maxBytes) {
  backlog_->setLimits(maxLines, maxBytes);
}

HookIngest::Backlog HookIngest::backlog() const {
  return backlog_->figures();
}

void HookIngest::setOnPayload(PayloadHandler handler) {
  auto shared = handler ? std::make_shared<const PayloadHandler>(std::move(handler)) : nullptr;
  std::lock_guard lock(callbackMutex_);
  onPayload_ = std::move(shared);
}

void HookIngest::setOnError(ErrorHandler handler) {
  auto shared = handler ? std::make_shared<const ErrorHandler>(std::move(handler)) : nullptr;
  std::lock_guard lock(callbackMutex_);
  onError_ = std::move(shared);
}

bool HookIngest::isListening() const {
  std::lock_guard lock(mutex_);
  return listener_ != nullptr;
}

void HookIngest::start() {
  std::lock_guard lock(mutex_);
  if (listener_)
    return;

  const std::string path = path_.string();
  if (path.size() > maxPathBytes)
    throw HookIngestError::socketPathTooLong(path);
  if (path.empty())
    throw HookIngestError::bindFailed(path, ENOENT);
  if (const auto directory = path_.parent_path(); !directory.empty()) {
    try {
      base::createDirectories(directory, 0700);
    } catch (const std::exception& e) {
      throw HookIngestError::directoryFailed(e.what());
    }
  }
  if (const int error = clearStaleSocket(path); error != 0)
    throw HookIngestError::bindFailed(path, error);

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    throw HookIngestError::createFailed(errno);

  // The socket file takes its mode from the creation mask at bind(); with
  // 0177 it is born 0600, so no moment exists at which others may connect.
  const sockaddr_un address = socketAddress(path);
  const mode_t previousMask = ::umask(0177);
  const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int bindError = errno;
  ::umask(previousMask);
  if (bound != 0) {
    ::close(fd);
    throw HookIngestError::bindFailed(path, bindError);
  }
  auto fail = [&](HookIngestError (*make)(int), int error) {
    ::close(fd);
    ::unlink(path.c_str());
    return make(error);
  };
  struct stat bound_st;
  if (::stat(path.c_str(), &bound_st) == 0) {
    socketDevice_ = bound_st.st_dev;
    socketInode_ = bound_st.st_ino;
  }
  if (::chmod(path.c_str(), 0600) != 0)
    throw fail(&HookIngestError::chmodFailed, errno);
  if (::listen(fd, 16) != 0)
    throw fail(&HookIngestError::listenFailed, errno);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
    throw fail(&HookIngestError::listenFailed, errno);

  std::shared_ptr<HookListener> listener;
  try {
    listener = std::make_shared<HookListener>(weak_from_this(), acceptStrand_, deliveryStrand_, fd,
                                              connectionDeadline_, maxConnections_, backlog_);
  } catch (const boost::system::system_error& e) {
    throw fail(&HookIngestError::listenFailed, e.code().value());
  }
  asio::post(acceptStrand_, [listener] { listener->begin(); });
  listener_ = std::move(listener);
}

void HookIngest::stop() {
  std::lock_guard lock(mutex_);
  if (!listener_)
    return;
  asio::post(acceptStrand_, [listener = std::move(listener_)] { listener->close(); });
  listener_.reset();
  // Only our own socket: another listener may have taken the path since.
  struct stat st;
  if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == socketDevice_ && st.st_ino == socketInode_)
    ::unlink(path_.c_str());
}

void HookIngest::deliver(std::vector<Line> lines) {
  std::shared_ptr<const PayloadHandler> onPayload;
  std::shared_ptr<const ErrorHandler> onError;
  {
    std::lock_guard lock(callbackMutex_);
    onPayload = onPayload_;
    onError = onError_;
  }
  for (Line& line : lines) {
    // Released when this line is done with, unless the consumer keeps it.
    Receipt receipt = std::move(line.receipt);
    protocol::HookPayload payload;
    try {
      payload = protocol::HookPayload::decode(line.text);
    } catch (const std::exception& e) {
      if (onError)
        (*onError)(HookIngestError::undecodable(std::move(line.text), e.what()));
      continue;
    }
    if (onPayload)
      (*onPayload)(payload, line.text, std::move(receipt));
  }
}

void HookIngest::report(const HookIngestError& error) {
  std::shared_ptr<const ErrorHandler> onError;
  {
    std::lock_guard lock(callbackMutex_);
    onError = onError_;
  }
  if (onError)
    (*onError)(error);
}

}  // namespace parley::claude
