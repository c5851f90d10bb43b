#include "link/image_uploads.hpp"

#include <algorithm>
#include <boost/algorithm/hex.hpp>
#include <vector>

#include "base/files.hpp"
#include "link/push_crypto.hpp"

namespace parley::link {

namespace fs = std::filesystem;

namespace {

std::string randomName() {
  try {
    return boost::algorithm::hex_lower(randomBytes(16));
  } catch (const PushCryptoError&) {
    throw UploadError("no random name could be made for the image");
  }
}

// A session id names a folder only if it is plainly one (Claude Code's are
// UUIDs); anything else shares one folder rather than reaching outside.
std::string folderFor(std::string_view sessionID) {
  const bool plain = !sessionID.empty() && sessionID.size() <= 64 &&
                     std::all_of(sessionID.begin(), sessionID.end(), [](char c) {
                       return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                              (c >= 'A' && c <= 'Z') || c == '-';
                     });
  return plain ? std::string(sessionID) : std::string("other");
}

}  // namespace

ImageUploads::ImageUploads(fs::path root, Limits limits)
    : root_(std::move(root)), limits_(limits) {}

std::optional<std::string_view> ImageUploads::kindOf(std::string_view bytes) {
  if (bytes.starts_with("\x89PNG\r\n\x1a\n"))
    return "png";
  if (bytes.starts_with("\xff\xd8\xff"))
    return "jpeg";
  if (bytes.starts_with("GIF87a") || bytes.starts_with("GIF89a"))
    return "gif";
  if (bytes.size() >= 12 && bytes.starts_with("RIFF") && bytes.substr(8, 4) == "WEBP")
    return "webp";
  return std::nullopt;
}

std::optional<ImageUploads::Received> ImageUploads::assemble(const protocol::UploadImage& part) {
  const std::lock_guard lock(mutex_);
  try {
    if (part.part == 0)
      pending_ = Pending{.uploadID = part.uploadID, .sessionID = part.sessionID};
    else if (!pending_ || pending_->uploadID != part.uploadID || pending_->nextPart != part.part)
      throw UploadError("the image's parts arrived out of order: send it again");
    std::optional<std::string> bytes;
    if (!part.data.empty())
      bytes = base64UrlDecode(part.data);
    else
      bytes = std::string();
    if (!bytes)
      throw UploadError("the image's data is not base64url");
    if (bytes->size() > limits_.partBytes)
      throw UploadError("a part of the image is larger than " +
                        std::to_string(limits_.partBytes / 1024) + " KB");
    if (pending_->bytes.size() + bytes->size() > limits_.imageBytes)
      throw UploadError("the image is larger than " +
                        std::to_string(limits_.imageBytes / 1000 / 1000) +
                        " MB, even after scaling: choose a smaller one");
    pending_->bytes += *bytes;
    ++pending_->nextPart;
    // Known by its first bytes as soon as they are here, not by its name.
    if (pending_->bytes.size() >= 12 || part.last) {
      if (!kindOf(pending_->bytes))
        throw UploadError("only PNG, JPEG, WebP and GIF images can be sent");
    }
    if (!part.last)
      return std::nullopt;
    std::string kind(*kindOf(pending_->bytes));
    Received done{.sessionID = std::move(pending_->sessionID),
                  .bytes = std::move(pending_->bytes),
                  .kind = std::move(kind)};
    pending_.reset();
    return done;
  } catch (...) {
    pending_.reset();
    throw;
  }
}

std::string ImageUploads::store(const Received& image) {
  const fs::path folder = root_ / folderFor(image.sessionID);
  std::string id = randomName();
  const fs::path file = folder / (id + "." + image.kind);
  try {
    base::createDirectories(folder, 0700);
    base::writeFileAtomically(file, image.bytes, 0600);
  } catch (const std::exception& e) {
    throw UploadError(std::string("the image could not be stored on the desktop: ") + e.what());
  }
  const std::lock_guard lock(mutex_);
  stored_.emplace(id, file);
  // After storing, so the total counts this image too (the newest: kept).
  pruneLocked();
  return id;
}

std::optional<fs::path> ImageUploads::path(std::string_view imageID) {
  const std::lock_guard lock(mutex_);
  const auto it = stored_.find(imageID);
  std::error_code ec;
  if (it == stored_.end() || !fs::is_regular_file(it->second, ec))
    return std::nullopt;
  return it->second;
}

void ImageUploads::abandon() {
  const std::lock_guard lock(mutex_);
  pending_.reset();
}

void ImageUploads::prune() {
  const std::lock_guard lock(mutex_);
  pruneLocked();
}

void ImageUploads::pruneLocked() {
  struct File {
    fs::path path;
    fs::file_time_type written;
    std::uintmax_t size;
  };
  std::vector<File> files;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root_, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec))
      files.push_back({it->path(), it->last_write_time(ec), it->file_size(ec)});
  }
  std::sort(files.begin(), files.end(),
            [](const File& a, const File& b) { return a.written > b.written; });
  const auto oldest = fs::file_time_type::clock::now() - limits_.keep;
  std::uintmax_t total = 0;
  for (const File& f : files) {
    total += f.size;
    if (f.written < oldest || total > limits_.totalBytes) {
      fs::remove(f.path, ec);
      std::erase_if(stored_, [&](const auto& entry) { return entry.second == f.path; });
    }
  }
}

}  // namespace parley::link
