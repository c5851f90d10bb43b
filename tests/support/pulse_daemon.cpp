#include "pulse_daemon.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "base/process.hpp"

namespace parley::test {
namespace {

// The daemon accepts connections (its socket file appears a moment before).
bool accepts(const std::filesystem::path& socket) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", socket.c_str());
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

PulseDaemon::PulseDaemon(bool withMicrophone) {
  const auto program = base::findExecutable("pulseaudio");
  if (!program) {
    problem_ = "pulseaudio is not installed (Debian package pulseaudio)";
    return;
  }
  const auto runtime = dir_ / "runtime";
  std::filesystem::create_directories(runtime);
  ::chmod(runtime.c_str(), 0700);
  std::string config = "load-module module-native-protocol-unix auth-anonymous=1 socket=" +
                       (dir_ / "native").string() +
                       "\n"
                       "load-module module-null-sink sink_name=speakers\n"
                       "set-default-sink speakers\n";
  if (withMicrophone) {
    config += "load-module module-pipe-source source_name=microphone file=" +
              (dir_ / "microphone").string() +
              " format=s16le rate=16000 channels=1\n"
              "set-default-source microphone\n";
  }
  writeFile(dir_ / "daemon.pa", config);

  const std::string home = "HOME=" + dir_.path().string();
  const std::string xdg = "XDG_RUNTIME_DIR=" + runtime.string();
  const std::string pulseRuntime = "PULSE_RUNTIME_PATH=" + runtime.string();
  const std::string configFile = (dir_ / "daemon.pa").string();
  const std::string log = (dir_ / "daemon.log").string();
  pid_ = ::fork();
  if (pid_ == 0) {
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    const int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, STDIN_FILENO);
    char* const env[] = {const_cast<char*>(home.c_str()), const_cast<char*>(xdg.c_str()),
                         const_cast<char*>(pulseRuntime.c_str()), nullptr};
    // Running as root (in CI) needs --system=no to be allowed at all.
    char* const argv[] = {const_cast<char*>("pulseaudio"),
                          const_cast<char*>("--daemonize=no"),
                          const_cast<char*>("--system=no"),
                          const_cast<char*>("--exit-idle-time=-1"),
                          const_cast<char*>("--use-pid-file=no"),
                          const_cast<char*>("--disable-shm=yes"),
                          const_cast<char*>("-n"),
                          const_cast<char*>("-F"),
                          const_cast<char*>(configFile.c_str()),
                          const_cast<char*>("--log-target=stderr"),
                          nullptr};
    ::execve(program->c_str(), argv, env);
    ::_exit(127);
  }
  const bool up = waitUntil([&] {
    return accepts(dir_ / "native") &&
           (!withMicrophone || std::filesystem::exists(dir_ / "microphone"));
  });
  if (!up) {
    problem_ = "pulseaudio did not start: " + readFile(log);
    return;
  }
  env_ = std::make_unique<ScopedEnv>("PULSE_SERVER", server());
  if (withMicrophone) {
    // Read-write, so opening never waits for the reader; the daemon reads
    // only what we write.
    fifo_ = ::open((dir_ / "microphone").c_str(), O_RDWR | O_CLOEXEC);
  }
}

PulseDaemon::~PulseDaemon() {
  env_.reset();
  if (fifo_ >= 0)
    ::close(fifo_);
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

std::string PulseDaemon::server() const {
  return "unix:" + (dir_ / "native").string();
}

void PulseDaemon::speak(const std::vector<std::int16_t>& samples) {
  const char* data = reinterpret_cast<const char*>(samples.data());
  std::size_t left = samples.size() * sizeof(std::int16_t);
  while (left > 0 && fifo_ >= 0) {
    const ssize_t written = ::write(fifo_, data, left);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return;
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

void PulseDaemon::silence(int milliseconds) {
  speak(std::vector<std::int16_t>(static_cast<std::size_t>(16 * milliseconds), 0));
}

void PulseDaemon::speakLive(const std::vector<std::int16_t>& samples) {
  constexpr std::size_t block = 16000 / 50;
  auto due = std::chrono::steady_clock::now();
  for (std::size_t at = 0; at < samples.size(); at += block) {
    std::this_thread::sleep_until(due);
    const auto end =
        samples.begin() + static_cast<std::ptrdiff_t>(std::min(at + block, samples.size()));
    speak(std::vector<std::int16_t>(samples.begin() + static_cast<std::ptrdiff_t>(at), end));
    due += std::chrono::milliseconds(20);
  }
}

}  // namespace parley::test
