#include "link/device_store_watcher.hpp"

#include <sys/inotify.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace parley::link {

namespace asio = boost::asio;

DeviceStoreWatcher::DeviceStoreWatcher(asio::any_io_executor executor, std::filesystem::path file,
                                       std::function<void()> onChange)
    : file_(std::move(file)), onChange_(std::move(onChange)), descriptor_(executor) {}

DeviceStoreWatcher::~DeviceStoreWatcher() {
  stop();
}

boost::system::error_code DeviceStoreWatcher::start() {
  if (descriptor_.is_open())
    return {};
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0)
    return {errno, boost::system::system_category()};
  // A rename into place (how the store saves) is IN_MOVED_TO; an edit in
  // place ends in IN_CLOSE_WRITE; a removal is IN_DELETE or IN_MOVED_FROM.
  const std::filesystem::path directory =
      file_.parent_path().empty() ? std::filesystem::path(".") : file_.parent_path();
  if (::inotify_add_watch(fd, directory.c_str(),
                          IN_MOVED_TO | IN_MOVED_FROM | IN_CLOSE_WRITE | IN_DELETE | IN_CREATE |
                              IN_DELETE_SELF | IN_MOVE_SELF) < 0) {
    const int error = errno;
    ::close(fd);
    return {error, boost::system::system_category()};
  }
  descriptor_.assign(fd);
  readNext();
  return {};
}

void DeviceStoreWatcher::stop() {
  boost::system::error_code ignored;
  descriptor_.close(ignored);
}

void DeviceStoreWatcher::readNext() {
  descriptor_.async_read_some(
      asio::buffer(buffer_),
      [weak = weak_from_this()](const boost::system::error_code& ec, std::size_t size) {
        if (auto self = weak.lock())
          self->onRead(ec, size);
      });
}

void DeviceStoreWatcher::onRead(const boost::system::error_code& ec, std::size_t size) {
  if (ec)
    return;  // closed, or the watch is gone; nothing more to notice
  const std::string name = file_.filename().string();
  bool relevant = false;
  bool directoryGone = false;
  for (std::size_t offset = 0; offset + sizeof(inotify_event) <= size;) {
    inotify_event event;
    std::memcpy(&event, buffer_.data() + offset, sizeof event);
    const char* eventName = buffer_.data() + offset + sizeof event;
    if (event.mask & IN_Q_OVERFLOW) {
      relevant = true;  // events were lost: look again
    } else if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
      relevant = directoryGone = true;
    } else if (event.len > 0 && name == eventName) {
      relevant = true;
    }
    offset += sizeof event + event.len;
  }
  if (directoryGone)
    stop();
  else
    readNext();
  if (relevant && onChange_)
    onChange_();
}

}  // namespace parley::link
