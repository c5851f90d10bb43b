#include "base/process.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <system_error>

#include "support/test_support.hpp"

namespace parley::base {
namespace {

// The hexadecimal mask of one "SigXxx:" line of /proc/PID/status.
std::string statusField(const std::string& status, const std::string& name) {
  const std::size_t at = status.find(name + ":\t");
  if (at == std::string::npos)
    return "missing";
  const std::size_t begin = at + name.size() + 2;
  return status.substr(begin, status.find('\n', begin) - begin);
}

TEST(RunProcess, DrainsBothOutputsWhileFeedingInput) {
  // cat writes thousands of error lines before it reads its input, then
  // copies megabytes: read one pipe at a time and both sides would stall.
  std::vector<std::string> args;
  for (int i = 0; i < 3000; ++i)
    args.push_back("/nonexistent/parley/" + std::to_string(i));
  args.push_back("-");
  for (int i = 0; i < 3000; ++i)
    args.push_back("/nonexistent/parley/x" + std::to_string(i));
  std::string input(3 << 20, 'x');
  for (std::size_t i = 0; i < input.size(); i += 97)
    input[i] = static_cast<char>('a' + i % 26);
  const ProcessResult r = runProcess("/bin/cat", args, {.input = input});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.size(), input.size());
  EXPECT_TRUE(r.out == input);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 6000);

  // Empty input is end-of-file at once.
  EXPECT_EQ(runProcess("/bin/cat", {}, {.input = ""}).out, "");
}

TEST(RunProcess, AChildThatIgnoresItsInputCannotKillUs) {
  const ProcessResult r = runProcess("/bin/true", {}, {.input = std::string(8 << 20, 'y')});
  EXPECT_EQ(r.status, 0);
  // The SIGPIPE our write raised was consumed, and the mask is as before.
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_FALSE(sigismember(&mask, SIGPIPE));

  // Without input, standard input is /dev/null: cat ends at once.
  EXPECT_EQ(runProcess("/bin/cat", {}).out, "");
}

TEST(RunProcess, TellsAnExitStatusFromASignal) {
  ProcessResult r = runProcess("/bin/sh", {"-c", "echo out; echo oops >&2; exit 3"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.signal, 0);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.out, "out\n");
  EXPECT_EQ(r.err, "oops\n");

  r = runProcess("/bin/sh", {"-c", "kill -TERM $$"});
  EXPECT_EQ(r.status, 128 + SIGTERM);
  EXPECT_EQ(r.signal, SIGTERM);

  // The same number from exit and from a signal stays distinguishable.
  EXPECT_EQ(runProcess("/bin/sh", {"-c", "exit 137"}).signal, 0);
  EXPECT_EQ(runProcess("/bin/sh", {"-c", "kill -KILL $$"}).signal, SIGKILL);
}

TEST(RunProcess, ArgumentsReachTheProgramUntouched) {
  const ProcessResult r =
      runProcess("/usr/bin/printf", {"[%s]", "$HOME; echo pwned", "a b", "", "*"});
  EXPECT_EQ(r.out, "[$HOME; echo pwned][a b][][*]");
}

TEST(RunProcess, EnvironmentIsInheritedOrExactlyTheGivenOne) {
  test::ScopedEnv marker("PARLEY_PROCESS_TEST", "inherited value");
  EXPECT_NE(runProcess("/usr/bin/env", {}).out.find("PARLEY_PROCESS_TEST=inherited value\n"),
            std::string::npos);
  EXPECT_EQ(
      runProcess("/usr/bin/env", {}, {.environment = std::vector<std::string>{"A=1", "B="}}).out,
      "A=1\nB=\n");
  EXPECT_EQ(runProcess("/usr/bin/env", {}, {.environment = std::vector<std::string>{}}).out, "");
}

TEST(RunProcess, TheChildStartsWithNoBlockedSignalsAndDefaultSigpipe) {
  // As if the application ignored SIGPIPE and this thread blocked SIGUSR1.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous {};
  sigaction(SIGPIPE, &ignore, &previous);
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  sigset_t oldMask;
  pthread_sigmask(SIG_BLOCK, &usr1, &oldMask);

  const ProcessResult r = runProcess("/bin/cat", {"/proc/self/status"});

  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  sigaction(SIGPIPE, &previous, nullptr);
  ASSERT_TRUE(r.ok()) << r.err;
  EXPECT_EQ(statusField(r.out, "SigBlk"), "0000000000000000");
  const unsigned long ignored = std::stoul(statusField(r.out, "SigIgn"), nullptr, 16);
  EXPECT_EQ(ignored & (1ul << (SIGPIPE - 1)), 0u);
}

void onAlarm(int) {}

TEST(RunProcess, InterruptedCallsAreResumed) {
  // A timer signal without SA_RESTART interrupts poll, read, write and
  // waitpid over and over while megabytes go through.
  struct sigaction alarm {};
  alarm.sa_handler = onAlarm;
  struct sigaction previous {};
  sigaction(SIGALRM, &alarm, &previous);
  const itimerval often{{0, 200}, {0, 200}};
  setitimer(ITIMER_REAL, &often, nullptr);

  const std::string input(4 << 20, 'z');
  const ProcessResult r = runProcess("/bin/cat", {}, {.input = input});

  const itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out == input);
}

TEST(RunProcess, AProgramThatCannotStartThrowsTheSystemsReason) {
  EXPECT_THROW(runProcess("/nonexistent/tmux", {}), std::system_error);
  test::TempDir dir;
  const auto script = dir / "script";
  test::writeFile(script, "#!/nonexistent/interpreter\n");
  ::chmod(script.c_str(), 0755);
  try {
    runProcess(script, {});
    FAIL();
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), ENOENT);
  }
  // Not executable.
  ::chmod(script.c_str(), 0644);
  EXPECT_THROW(runProcess(script, {}), std::system_error);
}

TEST(RunProcess, AChildWhoseStatusIsLostIsAnErrorNotAMadeUpStatus) {
  // With SIGCHLD ignored the kernel reaps children itself, and their exit
  // status is gone.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous {};
  sigaction(SIGCHLD, &ignore, &previous);
  std::optional<int> error;
  try {
    runProcess("/bin/true", {});
  } catch (const std::system_error& e) {
    error = e.code().value();
  }
  sigaction(SIGCHLD, &previous, nullptr);
  EXPECT_EQ(error, ECHILD);
}

TEST(FindExecutable, TakesTheFirstExecutableFileInAbsoluteEntries) {
  test::TempDir dir;
  for (const char* sub : {"a", "b", "c", "d"})
    std::filesystem::create_directories(dir / sub);
  test::writeFile(dir / "a" / "tool", "not executable");
  std::filesystem::create_directories(dir / "b" / "tool");  // a directory
  test::writeFile(dir / "c" / "tool", "#!/bin/true\n");
  test::writeFile(dir / "d" / "tool", "#!/bin/true\n");
  ::chmod((dir / "b" / "tool").c_str(), 0755);
  ::chmod((dir / "c" / "tool").c_str(), 0755);
  ::chmod((dir / "d" / "tool").c_str(), 0755);
  const std::string a = (dir / "a").string(), b = (dir / "b").string(), c = (dir / "c").string(),
                    d = (dir / "d").string();

  EXPECT_TRUE(isExecutableFile(dir / "c" / "tool"));
  EXPECT_FALSE(isExecutableFile(dir / "a" / "tool"));
  EXPECT_FALSE(isExecutableFile(dir / "b" / "tool"));
  EXPECT_FALSE(isExecutableFile(dir / "absent"));

  EXPECT_EQ(findExecutable("tool", a + ":" + b + "::" + d + ":" + c), dir / "d" / "tool");
  EXPECT_EQ(findExecutable("tool", a + ":" + b), std::nullopt);
  EXPECT_EQ(findExecutable("tool", ""), std::nullopt);
  // A relative entry names the working directory, which is never searched.
  std::filesystem::path relative = std::filesystem::relative(dir / "c");
  EXPECT_EQ(findExecutable("tool", relative.string()), std::nullopt);

  test::ScopedEnv path("PATH", b + ":" + c);
  EXPECT_EQ(findExecutable("tool"), dir / "c" / "tool");
  test::ScopedEnv unset("PATH", std::nullopt);
  EXPECT_EQ(findExecutable("tool"), std::nullopt);
}

}  // namespace
}  // namespace parley::base
