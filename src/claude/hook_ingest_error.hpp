#pragma once

// What the hook socket listener reports: failures to open the socket (thrown
// by start()) and problems with single lines or connections (passed to
// onError). Each carries its values and renders one fixed English text, which
// the application writes into the activity log unchanged.

#include <cstddef>
#include <stdexcept>
#include <string>

namespace parley::claude {

class HookIngestError : public std::runtime_error {
 public:
  enum class Kind {
    socketPathTooLong,
    createFailed,
    bindFailed,
    listenFailed,
    chmodFailed,
    directoryFailed,
    undecodable,
    frameOverflow,
    connectionTimedOut,
    tooManyConnections,
  };

  static HookIngestError socketPathTooLong(std::string path);
  static HookIngestError createFailed(int error);
  static HookIngestError bindFailed(std::string path, int error);
  static HookIngestError listenFailed(int error);
  static HookIngestError chmodFailed(int error);
  static HookIngestError directoryFailed(const std::string& underlying);
  static HookIngestError undecodable(std::string line, const std::string& decodingError);
  static HookIngestError frameOverflow();
  // A connection still open at its deadline, with `pendingBytes` of an
  // unfinished line that are dropped with it.
  static HookIngestError connectionTimedOut(std::size_t pendingBytes);
  // More than `limit` connections were open at once; the oldest are closed.
  static HookIngestError tooManyConnections(std::size_t limit);

  Kind kind() const { return kind_; }
  // The socket path (socketPathTooLong, bindFailed).
  const std::string& path() const { return path_; }
  // The saved errno (createFailed, bindFailed, listenFailed, chmodFailed).
  int error() const { return error_; }
  // The line that failed to decode (undecodable).
  const std::string& line() const { return line_; }

 private:
  HookIngestError(Kind kind, const std::string& text);

  Kind kind_;
  std::string path_;
  int error_ = 0;
  std::string line_;
};

}  // namespace parley::claude
