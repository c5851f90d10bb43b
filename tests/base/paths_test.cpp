#include "base/paths.hpp"

#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace parley::base {
namespace {

TEST(Paths, FollowHomeAndTheXdgVariables) {
  test::ScopedEnv home("HOME", "/home/dev");
  test::ScopedEnv data("XDG_DATA_HOME", std::nullopt);
  test::ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
  test::ScopedEnv socket("PARLEY_SOCKET", std::nullopt);
  EXPECT_EQ(homeDirectory(), "/home/dev");
  EXPECT_EQ(dataDirectory(), "/home/dev/.local/share/parley");
  EXPECT_EQ(configDirectory(), "/home/dev/.config/parley");
  EXPECT_EQ(hookSocketPath(), "/home/dev/.local/share/parley/hook.sock");

  test::ScopedEnv data2("XDG_DATA_HOME", "/xdg/data");
  test::ScopedEnv config2("XDG_CONFIG_HOME", "relative/ignored");
  EXPECT_EQ(dataDirectory(), "/xdg/data/parley");
  EXPECT_EQ(configDirectory(), "/home/dev/.config/parley");
}

TEST(Paths, SocketOverrideIsTakenAsItStandsEvenWhenEmpty) {
  test::ScopedEnv socket("PARLEY_SOCKET", "/run/x/hook.sock");
  EXPECT_EQ(hookSocketPath(), "/run/x/hook.sock");
  test::ScopedEnv empty("PARLEY_SOCKET", "");
  EXPECT_EQ(hookSocketPath(), "");
}

TEST(Paths, HomeFallsBackToThePasswordDatabase) {
  test::ScopedEnv home("HOME", "");
  EXPECT_FALSE(homeDirectory().empty());
  EXPECT_TRUE(homeDirectory().is_absolute());
}

}  // namespace
}  // namespace parley::base
