#include "terminal/input_policy.hpp"

#include <gtest/gtest.h>

namespace parley::terminal {
namespace {

TEST(InputPolicy, KeepsShellModeAndTheKeyboardsCommandsAtTheKeyboard) {
  for (const char* refused :
       {"!ls", "  !rm -rf build", "/permissions", "/PERMISSIONS add", "/config", "/hooks",
        "/add-dir /", "/login", "/model opus", "/", "/mcp__server__prompt"})
    EXPECT_TRUE(InputPolicy::refusal(refused)) << refused;
  for (const char* allowed : {"", "fix the bug", "/clear", "/compact keep the plan", "/Cost",
                              "/tmp/out is full", "why does a!b fail", "# a heading"})
    EXPECT_FALSE(InputPolicy::refusal(allowed)) << allowed;

  // Typing: only a "!" into an empty box switches modes at once.
  EXPECT_TRUE(InputPolicy::typingRefusal("", " !"));
  EXPECT_TRUE(InputPolicy::typingRefusal("  ", "!ls"));
  EXPECT_FALSE(InputPolicy::typingRefusal("echo", "!"));
  EXPECT_FALSE(InputPolicy::typingRefusal("", "/perm"));
}

}  // namespace
}  // namespace parley::terminal
