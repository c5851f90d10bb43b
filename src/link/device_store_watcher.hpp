#pragma once

// Notices when the device store changes under the running server, so that a
// device revoked (or paired anew) by another process loses its connection
// at once rather than at its next hello. The store is replaced by rename, so
// its directory is watched (inotify) for anything that lands on or leaves
// the file's name. Runs on the executor it is given (the server's strand);
// `onChange` is called there.

#include <array>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/system/error_code.hpp>
#include <filesystem>
#include <functional>
#include <memory>

namespace parley::link {

class DeviceStoreWatcher : public std::enable_shared_from_this<DeviceStoreWatcher> {
 public:
  DeviceStoreWatcher(boost::asio::any_io_executor executor, std::filesystem::path file,
                     std::function<void()> onChange);
  ~DeviceStoreWatcher();
  DeviceStoreWatcher(const DeviceStoreWatcher&) = delete;
  DeviceStoreWatcher& operator=(const DeviceStoreWatcher&) = delete;

  // Starts watching the file's directory, which must exist. Returns the
  // system's error when it cannot.
  boost::system::error_code start();
  void stop();
  bool isWatching() const { return descriptor_.is_open(); }

 private:
  void readNext();
  void onRead(const boost::system::error_code& ec, std::size_t size);

  std::filesystem::path file_;
  std::function<void()> onChange_;
  boost::asio::posix::stream_descriptor descriptor_;
  // Room for many events at once; an event is at most NAME_MAX + 17 bytes.
  alignas(8) std::array<char, 16 * 1024> buffer_{};
};

}  // namespace parley::link
