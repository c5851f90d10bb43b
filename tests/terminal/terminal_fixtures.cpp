#include "terminal_fixtures.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/test_support.hpp"

namespace parley::terminal_test {

Spawned::Spawned(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env) {
  std::vector<char*> args;
  for (const auto& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> entries;
  for (const auto& [k, v] : env)
    entries.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : entries)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  const int rc =
      ::posix_spawn(&pid_, argv.at(0).c_str(), &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0)
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
}

Spawned::~Spawned() {
  stop();
}

void Spawned::stop() {
  if (pid_ <= 0)
    return;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

pid_t deadPid() {
  Spawned child({"/bin/true"});
  const pid_t pid = child.pid();
  child.stop();
  return pid;
}

void FakeProcRoot::add(pid_t pid, const std::string& comm, const std::vector<std::string>& environ,
                       const std::optional<std::filesystem::path>& cwd) const {
  const std::filesystem::path dir = root_ / std::to_string(pid);
  std::filesystem::create_directories(dir);
  test::writeFile(dir / "comm", comm + "\n");
  std::string block;
  for (const std::string& e : environ) {
    block += e;
    block += '\0';
  }
  test::writeFile(dir / "environ", block);
  if (cwd) {
    std::filesystem::remove(dir / "cwd");
    std::filesystem::create_directory_symlink(*cwd, dir / "cwd");
  }
}

void FakeProcRoot::remove(pid_t pid) const {
  std::filesystem::remove_all(root_ / std::to_string(pid));
}

std::string tmuxEnvFor(const std::filesystem::path& socket) {
  return socket.string() + ",4242,0";
}

void writeSessionFile(const std::filesystem::path& home, pid_t pid,
                      const boost::json::object& body) {
  test::writeFile(home / ".claude" / "sessions" / (std::to_string(pid) + ".json"),
                  boost::json::serialize(body));
}

void removeSessionFile(const std::filesystem::path& home, pid_t pid) {
  std::filesystem::remove(home / ".claude" / "sessions" / (std::to_string(pid) + ".json"));
}

std::filesystem::path inputBoxStub() {
  return test::binPath("input_box_stub");
}

}  // namespace parley::terminal_test
