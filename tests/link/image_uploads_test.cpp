#include "link/image_uploads.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "link/push_crypto.hpp"
#include "support/test_support.hpp"

namespace parley::link {
namespace {

namespace fs = std::filesystem;

const std::string kPng = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(3000, 'p');

protocol::UploadImage part(const std::string& id, std::int64_t n, bool last, std::string_view bytes,
                           const std::string& session = "5f1c-aa") {
  return {.uploadID = id,
          .sessionID = session,
          .part = n,
          .last = last,
          .data = base64UrlEncode(bytes)};
}

// Both halves, as the server runs them (on two threads).
std::optional<std::string> receive(ImageUploads& uploads, const protocol::UploadImage& part) {
  auto image = uploads.assemble(part);
  return image ? std::optional(uploads.store(*image)) : std::nullopt;
}

std::size_t filesUnder(const fs::path& root) {
  std::size_t n = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
    n += it->is_regular_file() ? 1 : 0;
  return n;
}

TEST(ImageUploads, PartsBecomeOneOwnerOnlyFileInTheSessionsFolder) {
  test::TempDir dir;
  ImageUploads uploads(dir.path());
  EXPECT_FALSE(receive(uploads, part("a", 0, false, kPng.substr(0, 1000))));
  EXPECT_FALSE(receive(uploads, part("a", 1, false, kPng.substr(1000, 1000))));
  const auto id = receive(uploads, part("a", 2, true, kPng.substr(2000)));
  ASSERT_TRUE(id);
  const auto file = uploads.path(*id);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->parent_path(), dir.path() / "5f1c-aa");
  EXPECT_EQ(file->extension(), ".png");
  EXPECT_EQ(test::readFile(*file), kPng);
  struct stat st {};
  ASSERT_EQ(::stat(file->c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(uploads.path("not-an-id"));

  // A session id that is not plainly one names no folder of its own.
  const auto other = receive(uploads, part("b", 0, true, "\xff\xd8\xff\xe0 jpeg", "../../etc"));
  ASSERT_TRUE(other);
  EXPECT_EQ(uploads.path(*other)->parent_path(), dir.path() / "other");
}

TEST(ImageUploads, RefusalsSayWhyAndStoreNothing) {
  test::TempDir dir;
  ImageUploads uploads(dir.path(), {.imageBytes = 4000, .partBytes = 2500});
  const auto refused = [&](const protocol::UploadImage& p, const std::string& words) {
    try {
      receive(uploads, p);
      ADD_FAILURE() << "accepted, expected: " << words;
    } catch (const UploadError& e) {
      EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
    }
  };
  refused(part("x", 0, false, "%PDF-1.7 not an image at all"), "only PNG, JPEG, WebP and GIF");
  refused(part("x", 0, true, "GIF8"), "only PNG");
  refused(part("x", 0, false, std::string(3000, 'x')), "larger than 2 KB");
  EXPECT_FALSE(receive(uploads, part("x", 0, false, kPng.substr(0, 2400))));
  refused(part("x", 2, false, kPng.substr(0, 10)), "out of order");
  // The refusal ended that upload: its next part is out of order too.
  refused(part("x", 1, false, kPng.substr(0, 10)), "out of order");
  EXPECT_FALSE(receive(uploads, part("y", 0, false, kPng.substr(0, 2400))));
  refused(part("y", 1, true, kPng.substr(0, 2000)), "even after scaling");
  refused({.uploadID = "z", .part = 0, .last = true, .data = "not base64!"}, "not base64url");
  EXPECT_EQ(filesUnder(dir.path()), 0u);
  // And a good one still goes through afterwards.
  EXPECT_TRUE(receive(uploads, part("w", 0, true, kPng.substr(0, 1000))));
}

TEST(ImageUploads, OldUploadsAndTheOldestBeyondTheTotalAreRemoved) {
  test::TempDir dir;
  ImageUploads uploads(dir.path(), {.totalBytes = 2500});
  const auto old = *receive(uploads, part("1", 0, true, kPng.substr(0, 1000)));
  fs::last_write_time(*uploads.path(old),
                      fs::file_time_type::clock::now() - std::chrono::hours(24 * 8));
  const auto second = *receive(uploads, part("2", 0, true, kPng.substr(0, 1000)));
  EXPECT_FALSE(uploads.path(old));
  fs::last_write_time(*uploads.path(second),
                      fs::file_time_type::clock::now() - std::chrono::hours(1));
  const auto third = *receive(uploads, part("3", 0, true, kPng.substr(0, 1000)));
  const auto fourth = *receive(uploads, part("4", 0, true, kPng.substr(0, 1000)));
  // 3,000 bytes would be over the total: the oldest goes.
  EXPECT_FALSE(uploads.path(second));
  EXPECT_TRUE(uploads.path(third));
  EXPECT_TRUE(uploads.path(fourth));
}

}  // namespace
}  // namespace parley::link
