#include "terminal/mode_footer.hpp"

#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace parley::terminal {
namespace {

using protocol::PermissionMode;

std::string screen(const std::string& name) {
  return test::readFile(test::fixturePath("claude-code-2.1.222/screens/" + name + ".ansi"));
}

TEST(ModeFooter, ReadsEachRealFooterAndNothingElse) {
  EXPECT_EQ(ModeFooter::read(screen("mode_manual")), PermissionMode::default_);
  EXPECT_EQ(ModeFooter::read(screen("mode_accept_edits")), PermissionMode::acceptEdits);
  EXPECT_EQ(ModeFooter::read(screen("mode_plan")), PermissionMode::plan);
  EXPECT_EQ(ModeFooter::read(screen("mode_auto")), PermissionMode::auto_);
  // A dialog covers the footer.
  EXPECT_EQ(ModeFooter::read(screen("perm_bash")), std::nullopt);
  // The words in the conversation, or a footer line far above the bottom,
  // are not the footer.
  EXPECT_EQ(ModeFooter::read("\u276f turn plan mode on\nplan mode on\n\n"), std::nullopt);
  EXPECT_EQ(ModeFooter::read("  \u23f8 plan mode on\na\nb\nc\nd\n"), std::nullopt);
  EXPECT_EQ(ModeFooter::read("  \u23f5\u23f5 bypass permissions on\n\n"),
            PermissionMode::bypassPermissions);
  EXPECT_EQ(ModeFooter::read(""), std::nullopt);
}

}  // namespace
}  // namespace parley::terminal
