// Saving the device store and Claude Code's settings where the write cannot
// complete: under a file-size limit and into a read-only directory. Each
// attempt must fail with a message and leave the old file as it was.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <vector>

#include "base/files.hpp"
#include "soak_events.hpp"

namespace parley::soak {
namespace {

struct Outcome {
  int exit = 0;
  std::string output;
};

// The command in a child whose files may not grow past `sizeLimit` bytes
// (SIGXFSZ ignored, so the write fails with EFBIG as a program sees it).
Outcome runLimited(const Bridge& bridge, const std::vector<std::string>& argv,
                   std::optional<rlim_t> sizeLimit) {
  const fs::path output = bridge.directory() / "limited.out";
  std::vector<char*> args;
  for (const auto& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : bridge.environment())
    envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    if (sizeLimit) {
      const rlimit limit{*sizeLimit, *sizeLimit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(out);
  return {waitExit(pid), base::readFileIfExists(output).value_or("")};
}

std::string firstLine(const std::string& text) {
  const std::string line = text.substr(0, text.find('\n'));
  return line.empty() ? "(no message)" : line;
}

std::string attempt(const Bridge& bridge, const char* what, const fs::path& file,
                    const std::vector<std::string>& argv, bool readOnly) {
  const std::string before = base::readFileIfExists(file).value_or("");
  std::optional<rlim_t> limit;
  if (readOnly)
    fs::permissions(file.parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
  else
    limit = before.size();
  const Outcome outcome = runLimited(bridge, argv, limit);
  if (readOnly)
    fs::permissions(file.parent_path(), fs::perms::owner_all);
  const bool intact = base::readFileIfExists(file).value_or("") == before;
  std::string line = what;
  line += readOnly ? " into a read-only directory: exit " : " under a file-size limit: exit ";
  line += std::to_string(outcome.exit);
  line += intact ? ", old file intact" : ", OLD FILE CHANGED";
  line += ", said \"";
  line += firstLine(outcome.output);
  line += '"';
  return line;
}

}  // namespace

void savingFiles(Bridge& bridge) {
  const auto home = [&] {
    for (const auto& e : bridge.environment())
      if (e.rfind("HOME=", 0) == 0)
        return fs::path(e.substr(5));
    return fs::path();
  }();
  const fs::path devices = home / ".local/share/parley/devices.json";
  const fs::path settings = home / ".claude/settings.json";
  fs::create_directories(settings.parent_path());
  // Larger than the relay binary, so that a limit at its size lets the
  // relay's copy through and stops only the settings rewrite.
  const std::string padding(fs::file_size(bridge.relayPath()) + 4096, 'p');
  std::string text = R"json({"model": "opus", "permissions": {"allow": ["Bash(ls:*)"]}, )json";
  text += R"json("n": 0.1, "padding": ")json";
  text += padding;
  text += "\"}";
  base::writeFileAtomically(settings, text);
  const std::vector<std::string> pair = {
      bridge.parleyPath(),          "pair", "--name", "Limited", "--json", "--port",
      std::to_string(bridge.port())};
  const std::vector<std::string> install = {bridge.parleyPath(), "hooks", "install"};
  // The relay put in place once, so that the limited runs reach settings.json.
  const std::string original = base::readFileIfExists(settings).value_or("");
  runLimited(bridge, install, std::nullopt);
  base::writeFileAtomically(settings, original);
  // Directory permissions do not bind root, so that half only runs as a user.
  for (const bool readOnly : {false, true}) {
    if (readOnly && ::geteuid() == 0) {
      report("%s",
             "saving into a read-only directory: not run (root ignores directory permissions)");
      break;
    }
    report("saving %s", attempt(bridge, "devices.json", devices, pair, readOnly).c_str());
    report("saving %s", attempt(bridge, "settings.json", settings, install, readOnly).c_str());
  }
}

}  // namespace parley::soak
