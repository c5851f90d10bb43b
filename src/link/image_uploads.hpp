#pragma once

// Images the phone attaches to a prompt. They come over the phone's own
// WebSocket, in parts, so the device's credentials are the only way in: an
// HTTP upload on the phone port would need a second way to authenticate, and
// a token in a request is one more place for it to leak. A part is bounded
// like any other frame, and one upload is assembled at a time.
//
// An image is kept only if its first bytes say PNG, JPEG, WebP or GIF (the
// kinds Claude Code sends on) and it is at most 10 MB; it is stored
// owner-only under a random name in a folder per session, and uploads older
// than a week, or beyond 500 MB in all, are removed, oldest first. Nothing
// is stored for a refused upload. Thread-safe: the phone link assembles the
// parts on its strand and stores the image on a worker (writing 10 MB and
// walking the folder must not hold up the other phones' messages), the
// session driver looks paths up.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "protocol/client_messages.hpp"

namespace parley::link {

// What the phone is told when an upload is refused.
class UploadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct UploadLimits {
  std::size_t imageBytes = 10 * 1000 * 1000;
  std::size_t partBytes = 512 * 1024;  // decoded
  std::chrono::seconds keep = std::chrono::hours(24 * 7);
  std::uintmax_t totalBytes = 500ULL * 1000 * 1000;
};

class ImageUploads {
 public:
  using Limits = UploadLimits;

  explicit ImageUploads(std::filesystem::path root, Limits limits = {});

  // A whole image, checked, not yet stored.
  struct Received {
    std::string sessionID;
    std::string bytes;
    std::string kind;
  };

  // One part; parts come in order from 0. Returns the image once its last
  // part is here. Throws UploadError: the upload is then forgotten.
  std::optional<Received> assemble(const protocol::UploadImage& part);
  // Writes the image and prunes; returns its id. Blocks on the disk. Throws
  // UploadError, having stored nothing.
  std::string store(const Received& image);
  // Where a stored image is, while it is kept.
  std::optional<std::filesystem::path> path(std::string_view imageID);
  // Drops a half-received upload (its phone went away).
  void abandon();
  // Removes what is too old, then the oldest beyond the total.
  void prune();

  // The kind the first bytes say, or nothing: "png", "jpeg", "webp", "gif".
  static std::optional<std::string_view> kindOf(std::string_view bytes);

 private:
  struct Pending {
    std::string uploadID;
    std::string sessionID;
    std::int64_t nextPart = 0;
    std::string bytes;
  };
  void pruneLocked();

  std::filesystem::path root_;
  Limits limits_;
  std::mutex mutex_;
  std::optional<Pending> pending_;
  std::map<std::string, std::filesystem::path, std::less<>> stored_;
};

}  // namespace parley::link
