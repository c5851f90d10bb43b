#include "claude/hook_ingest_error.hpp"

#include <cstring>

#include "claude/ndjson_framer.hpp"

namespace parley::claude {

HookIngestError::HookIngestError(Kind kind, const std::string& text)
    : std::runtime_error(text), kind_(kind) {}

HookIngestError HookIngestError::socketPathTooLong(std::string path) {
  HookIngestError e(Kind::socketPathTooLong, "socket path exceeds sun_path: " + path);
  e.path_ = std::move(path);
  return e;
}

HookIngestError HookIngestError::createFailed(int error) {
  HookIngestError e(Kind::createFailed, std::string("socket() failed: ") + std::strerror(error));
  e.error_ = error;
  return e;
}

HookIngestError HookIngestError::bindFailed(std::string path, int error) {
  HookIngestError e(Kind::bindFailed,
                    "bind(" + path + ") failed: " + std::string(std::strerror(error)));
  e.path_ = std::move(path);
  e.error_ = error;
  return e;
}

HookIngestError HookIngestError::listenFailed(int error) {
  HookIngestError e(Kind::listenFailed, std::string("listen() failed: ") + std::strerror(error));
  e.error_ = error;
  return e;
}

HookIngestError HookIngestError::chmodFailed(int error) {
  HookIngestError e(Kind::chmodFailed, std::string("chmod 0600 failed: ") + std::strerror(error));
  e.error_ = error;
  return e;
}

HookIngestError HookIngestError::directoryFailed(const std::string& underlying) {
  return HookIngestError(Kind::directoryFailed, "could not create socket directory: " + underlying);
}

HookIngestError HookIngestError::undecodable(std::string line, const std::string& decodingError) {
  HookIngestError e(Kind::undecodable, "undecodable hook payload (" + std::to_string(line.size()) +
                                           " bytes): " + decodingError);
  e.line_ = std::move(line);
  return e;
}

HookIngestError HookIngestError::frameOverflow() {
  return HookIngestError(Kind::frameOverflow, "hook line refused: longer than " +
                                                  std::to_string(NDJSONFramer::maxFrame) +
                                                  " bytes; its connection was closed");
}

HookIngestError HookIngestError::connectionTimedOut(std::size_t pendingBytes) {
  return HookIngestError(Kind::connectionTimedOut,
                         "hook connection closed at its deadline with an unfinished line of " +
                             std::to_string(pendingBytes) + " bytes; the line is lost");
}

HookIngestError HookIngestError::tooManyConnections(std::size_t limit) {
  return HookIngestError(Kind::tooManyConnections,
                         "more than " + std::to_string(limit) +
                             " hook connections open at once; closing the oldest (reported once "
                             "until the number falls again)");
}

}  // namespace parley::claude
