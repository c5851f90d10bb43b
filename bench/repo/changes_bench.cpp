// A session's changes in a big project: a repository of 20,000 committed
// files in 200 folders, of which 200 have changed (100 edited, 50 edited and
// staged, 50 new and untracked). The time to list them, as the phone's and
// the panel's Changes view asks, and to read one file's diff.

#include <stdlib.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/process.hpp"
#include "repo/changes_reader.hpp"

namespace {

namespace fs = std::filesystem;
using parley::protocol::ChangedFile;

constexpr int kFolders = 200;
constexpr int kFilesPerFolder = 100;

// Appends rather than `"x" + std::to_string(i)`, which GCC 12 misreports at
// -O2 (-Wrestrict).
std::string numbered(std::string prefix, int i) {
  prefix += std::to_string(i);
  return prefix;
}

// Plain writes: a flush per file would make the setup take minutes.
void write(const fs::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

std::string content(int i, int lines) {
  std::string text;
  for (int l = 0; l < lines; ++l)
    text.append("line ")
        .append(std::to_string(l))
        .append(" of file ")
        .append(std::to_string(i))
        .append("\n");
  return text;
}

class BigProject {
 public:
  BigProject() {
    std::string pattern = (fs::temp_directory_path() / "parley-bench-repo-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("mkdtemp failed");
    top_ = pattern;
    git({"init", "-q", "-b", "main"});
    // Written an hour ago, so the index the commit leaves holds their
    // stat data as settled, as a project's usually does, and the reader
    // does not compare every file's content.
    const auto past = fs::file_time_type::clock::now() - std::chrono::hours(1);
    for (int d = 0; d < kFolders; ++d) {
      const fs::path folder = top_ / numbered("module", d);
      fs::create_directories(folder);
      for (int f = 0; f < kFilesPerFolder; ++f) {
        const fs::path file = folder / numbered("file", f).append(".txt");
        write(file, content(d * kFilesPerFolder + f, 40));
        fs::last_write_time(file, past);
      }
    }
    git({"add", "-A"});
    git({"commit", "-q", "-m", "start"});
    for (int i = 0; i < 150; ++i) {
      const fs::path file = top_ / numbered("module", i) / "file7.txt";
      std::string text = content(i, 40);
      text.append("one more line\n");
      text.replace(0, 4, "LINE");
      write(file, text);
      if (i >= 100)
        git({"add", fs::relative(file, top_).string()});
    }
    for (int i = 0; i < 50; ++i)
      write(top_ / numbered("module", i) / "new.txt", content(i, 10));
  }

  ~BigProject() {
    std::error_code ignored;
    fs::remove_all(top_, ignored);
  }

  const fs::path& top() const { return top_; }

 private:
  void git(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {"-C", top_.string(),
                                     "-c", "user.name=Parley Bench",
                                     "-c", "user.email=bench@example.invalid"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const auto r = parley::base::runProcess(
        "/usr/bin/git", argv,
        {.environment = std::vector<std::string>{"HOME=" + top_.string(), "PATH=/usr/bin:/bin",
                                                 "GIT_CONFIG_NOSYSTEM=1"}});
    if (!r.ok())
      throw std::runtime_error("git failed: " + r.err);
  }

  fs::path top_;
};

BigProject& project() {
  static BigProject p;
  return p;
}

void BM_ListChanges(benchmark::State& state) {
  const fs::path& top = project().top();
  std::size_t listed = 0;
  for (auto _ : state) {
    const auto changes = parley::repo::readChanges(top);
    listed = changes.files.size();
    benchmark::DoNotOptimize(listed);
  }
  if (listed != 200)
    state.SkipWithError("the project does not list 200 changes");
  state.counters["files"] = static_cast<double>(listed);
}
BENCHMARK(BM_ListChanges)->Unit(benchmark::kMillisecond);

void BM_DiffOneFile(benchmark::State& state) {
  const fs::path& top = project().top();
  const auto area = state.range(0) == 0 ? ChangedFile::Area::unstaged : ChangedFile::Area::staged;
  const std::string path = state.range(0) == 0 ? "module3/file7.txt" : "module120/file7.txt";
  for (auto _ : state) {
    const auto diff = parley::repo::readFileDiff(top, path, area);
    benchmark::DoNotOptimize(diff.diff.data());
  }
  state.SetLabel(state.range(0) == 0 ? "unstaged" : "staged");
}
BENCHMARK(BM_DiffOneFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
