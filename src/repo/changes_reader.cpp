#include "repo/changes_reader.hpp"

#include <git2.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "base/free_with.hpp"
#include "text/printable.hpp"
#include "text/utf8.hpp"

namespace parley::repo {

namespace {

using protocol::ChangedFile;
using Area = ChangedFile::Area;

// Past this size a file counts as binary and its lines are not read, so one
// large log or image cannot hold the reader for long.
constexpr git_off_t kMaxTextFileBytes = 16 * 1024 * 1024;

using Repository = std::unique_ptr<git_repository, base::FreeWith<git_repository_free>>;
using Index = std::unique_ptr<git_index, base::FreeWith<git_index_free>>;
using Tree = std::unique_ptr<git_tree, base::FreeWith<git_tree_free>>;
using Reference = std::unique_ptr<git_reference, base::FreeWith<git_reference_free>>;
using Diff = std::unique_ptr<git_diff, base::FreeWith<git_diff_free>>;
using Patch = std::unique_ptr<git_patch, base::FreeWith<git_patch_free>>;

void initialise() {
  // Never shut down: the library stays usable for the life of the process.
  static const int once = git_libgit2_init();
  (void)once;
}

[[noreturn]] void fail(const std::string& what) {
  const git_error* e = git_error_last();
  throw ReadError(what + ": " + (e != nullptr && e->message != nullptr ? e->message : "unknown"));
}

void check(int rc, const std::string& what) {
  if (rc < 0)
    fail(what);
}

// The repository whose working tree holds `folder`; null when there is
// none. The search ignores GIT_DIR and its kin in our own environment: the
// session's folder alone decides.
Repository open(const std::filesystem::path& folder) {
  git_repository* raw = nullptr;
  const int rc = git_repository_open_ext(&raw, folder.c_str(), 0, nullptr);
  if (rc == GIT_ENOTFOUND)
    return nullptr;
  check(rc, "cannot open the repository at " + folder.string());
  Repository repo(raw);
  if (git_repository_is_bare(repo.get()) == 1)
    return nullptr;
  return repo;
}

std::optional<std::string> branchOf(git_repository* repo) {
  if (git_repository_head_detached(repo) == 1)
    return std::nullopt;
  git_reference* raw = nullptr;
  // HEAD itself, not what it resolves to: a branch with no commit yet still
  // has a name.
  if (git_reference_lookup(&raw, repo, "HEAD") < 0)
    return std::nullopt;
  const Reference head(raw);
  const char* target = git_reference_symbolic_target(head.get());
  if (target == nullptr)
    return std::nullopt;
  std::string_view name(target);
  constexpr std::string_view kBranches = "refs/heads/";
  if (name.substr(0, kBranches.size()) == kBranches)
    name.remove_prefix(kBranches.size());
  return text::toValidUtf8(name);
}

// HEAD's tree; null before the first commit, when everything staged is new.
Tree headTree(git_repository* repo) {
  if (git_repository_head_unborn(repo) == 1)
    return nullptr;
  git_reference* head = nullptr;
  check(git_repository_head(&head, repo), "cannot read HEAD");
  const Reference ref(head);
  git_object* tree = nullptr;
  check(git_reference_peel(&tree, ref.get(), GIT_OBJECT_TREE), "cannot read HEAD's tree");
  return Tree(reinterpret_cast<git_tree*>(tree));
}

git_diff_options diffOptions() {
  git_diff_options o;
  git_diff_options_init(&o, GIT_DIFF_OPTIONS_VERSION);
  o.flags = GIT_DIFF_INCLUDE_TYPECHANGE;
  // A submodule counts as changed when its commit moved, not for the work
  // inside it, which is that repository's own business.
  o.ignore_submodules = GIT_SUBMODULE_IGNORE_DIRTY;
  o.max_size = kMaxTextFileBytes;
  return o;
}

// What is staged: HEAD against the index, with renames paired up as
// `git status` shows them.
Diff stagedDiff(git_repository* repo, git_index* index) {
  const Tree head = headTree(repo);
  const git_diff_options o = diffOptions();
  git_diff* raw = nullptr;
  check(git_diff_tree_to_index(&raw, repo, head.get(), index, &o),
        "cannot compare the index with HEAD");
  Diff diff(raw);
  git_diff_find_options find;
  git_diff_find_options_init(&find, GIT_DIFF_FIND_OPTIONS_VERSION);
  find.flags = GIT_DIFF_FIND_RENAMES;
  check(git_diff_find_similar(diff.get(), &find), "cannot pair renamed files");
  return diff;
}

// What is not staged: the index against the working tree, each untracked
// file on its own (not its folder) with its content as added lines.
Diff worktreeDiff(git_repository* repo, git_index* index) {
  git_diff_options o = diffOptions();
  o.flags |= GIT_DIFF_INCLUDE_UNTRACKED | GIT_DIFF_RECURSE_UNTRACKED_DIRS |
             GIT_DIFF_SHOW_UNTRACKED_CONTENT;
  git_diff* raw = nullptr;
  check(git_diff_index_to_workdir(&raw, repo, index, &o),
        "cannot compare the working tree with the index");
  return Diff(raw);
}

Index indexOf(git_repository* repo) {
  git_index* raw = nullptr;
  check(git_repository_index(&raw, repo), "cannot read the index");
  return Index(raw);
}

// A delta of a diff that the phone lists, with its area; nullopt for the
// kinds that are no change (unmodified, ignored, unreadable).
std::optional<Area> areaOf(const git_diff_delta& delta, bool staged) {
  switch (delta.status) {
    case GIT_DELTA_ADDED:
    case GIT_DELTA_DELETED:
    case GIT_DELTA_MODIFIED:
    case GIT_DELTA_RENAMED:
    case GIT_DELTA_COPIED:
    case GIT_DELTA_TYPECHANGE:
    case GIT_DELTA_CONFLICTED:
      return staged ? Area::staged : Area::unstaged;
    case GIT_DELTA_UNTRACKED:
      return staged ? std::nullopt : std::optional(Area::untracked);
    default:
      return std::nullopt;
  }
}

ChangedFile::Change changeOf(git_delta_t status) {
  switch (status) {
    case GIT_DELTA_ADDED:
    case GIT_DELTA_COPIED:
    case GIT_DELTA_UNTRACKED:
      return ChangedFile::Change::added;
    case GIT_DELTA_DELETED:
      return ChangedFile::Change::deleted;
    case GIT_DELTA_RENAMED:
      return ChangedFile::Change::renamed;
    case GIT_DELTA_TYPECHANGE:
      return ChangedFile::Change::typeChanged;
    default:
      return ChangedFile::Change::modified;
  }
}

// The patch of delta `i`; null for a binary file. Loading it also settles
// whether the file is binary.
Patch patchOf(git_diff* diff, std::size_t i) {
  git_patch* raw = nullptr;
  check(git_patch_from_diff(&raw, diff, i), "cannot read a changed file");
  return Patch(raw);
}

ChangedFile describe(git_diff* diff, std::size_t i, Area area, git_patch* patch) {
  const git_diff_delta& d = *git_diff_get_delta(diff, i);
  ChangedFile file;
  file.path = text::toValidUtf8(d.new_file.path);
  if (d.status == GIT_DELTA_RENAMED && std::strcmp(d.old_file.path, d.new_file.path) != 0)
    file.oldPath = text::toValidUtf8(d.old_file.path);
  file.area = area;
  file.change = changeOf(d.status);
  file.binary = (d.flags & GIT_DIFF_FLAG_BINARY) != 0;
  if (patch != nullptr && !file.binary) {
    std::size_t context = 0, added = 0, removed = 0;
    if (git_patch_line_stats(&context, &added, &removed, patch) == 0) {
      file.added = static_cast<std::int64_t>(added);
      file.removed = static_cast<std::int64_t>(removed);
    }
  }
  return file;
}

struct Listed {
  git_diff* diff;
  std::size_t index;
  Area area;
};

// Every change of the two diffs, staged first, then unstaged, then
// untracked, each in path order.
std::vector<Listed> listed(git_diff* staged, git_diff* worktree) {
  std::vector<Listed> all;
  for (git_diff* diff : {staged, worktree}) {
    const std::size_t n = git_diff_num_deltas(diff);
    for (std::size_t i = 0; i < n; ++i) {
      if (const auto area = areaOf(*git_diff_get_delta(diff, i), diff == staged))
        all.push_back({diff, i, *area});
    }
  }
  std::stable_sort(all.begin(), all.end(),
                   [](const Listed& a, const Listed& b) { return a.area < b.area; });
  return all;
}

// Appends the patch's hunks to `out` up to `maxBytes`; a line that does not
// fit is cut (at a character's end) and ends the text.
bool appendHunks(git_patch* patch, std::size_t maxBytes, std::string& out) {
  auto put = [&](std::string line) {
    if (out.size() + line.size() <= maxBytes) {
      out += line;
      return true;
    }
    if (out.size() + 1 < maxBytes) {
      line.resize(maxBytes - out.size() - 1);
      line.resize(line.size() - text::incompleteTailLength(line));
      out += line;
      out += '\n';
    }
    return false;
  };
  const std::size_t hunks = git_patch_num_hunks(patch);
  for (std::size_t h = 0; h < hunks; ++h) {
    const git_diff_hunk* hunk = nullptr;
    std::size_t lines = 0;
    check(git_patch_get_hunk(&hunk, &lines, patch, h), "cannot read a hunk");
    std::string header(hunk->header, hunk->header_len);
    if (header.empty() || header.back() != '\n')
      header += '\n';
    if (!put(text::toValidUtf8(header)))
      return false;
    for (std::size_t l = 0; l < lines; ++l) {
      const git_diff_line* line = nullptr;
      check(git_patch_get_line_in_hunk(&line, patch, h, l), "cannot read a diff line");
      std::string shown;
      switch (line->origin) {
        case GIT_DIFF_LINE_CONTEXT:
        case GIT_DIFF_LINE_ADDITION:
        case GIT_DIFF_LINE_DELETION:
          shown += line->origin;
          shown += text::toValidUtf8(std::string_view(line->content, line->content_len));
          if (shown.back() != '\n')
            shown += '\n';
          break;
        case GIT_DIFF_LINE_CONTEXT_EOFNL:
        case GIT_DIFF_LINE_ADD_EOFNL:
        case GIT_DIFF_LINE_DEL_EOFNL:
          shown = "\\ No newline at end of file\n";
          break;
        default:
          continue;
      }
      if (!put(std::move(shown)))
        return false;
    }
  }
  return true;
}

std::string_view areaWords(Area area) {
  switch (area) {
    case Area::staged:
      return "staged";
    case Area::unstaged:
      return "unstaged";
    case Area::untracked:
      break;
  }
  return "untracked";
}

}  // namespace

protocol::Changes readChanges(const std::filesystem::path& folder, const Bounds& bounds) {
  initialise();
  protocol::Changes changes;
  const Repository repo = open(folder);
  if (!repo)
    return changes;
  changes.repository = true;
  changes.branch = branchOf(repo.get());
  const Index index = indexOf(repo.get());
  const Diff staged = stagedDiff(repo.get(), index.get());
  const Diff worktree = worktreeDiff(repo.get(), index.get());
  for (const Listed& change : listed(staged.get(), worktree.get())) {
    if (changes.files.size() >= bounds.files) {
      ++changes.unlisted;
      continue;
    }
    // One file that cannot be read (gone since the scan, unreadable) is
    // listed without its counts rather than hiding the rest.
    Patch patch;
    try {
      patch = patchOf(change.diff, change.index);
    } catch (const ReadError&) {
    }
    changes.files.push_back(describe(change.diff, change.index, change.area, patch.get()));
  }
  return changes;
}

protocol::FileDiff readFileDiff(const std::filesystem::path& folder, const std::string& path,
                                Area area, const Bounds& bounds) {
  initialise();
  const Repository repo = open(folder);
  if (!repo)
    throw ReadError(folder.string() + " is not in a Git repository");
  const Index index = indexOf(repo.get());
  const Diff diff = area == Area::staged ? stagedDiff(repo.get(), index.get())
                                         : worktreeDiff(repo.get(), index.get());
  const std::size_t n = git_diff_num_deltas(diff.get());
  for (std::size_t i = 0; i < n; ++i) {
    const git_diff_delta& d = *git_diff_get_delta(diff.get(), i);
    if (areaOf(d, area == Area::staged) != area || text::toValidUtf8(d.new_file.path) != path)
      continue;
    const Patch patch = patchOf(diff.get(), i);
    protocol::FileDiff answer;
    answer.file = describe(diff.get(), i, area, patch.get());
    if (patch && !answer.file.binary)
      answer.truncated = !appendHunks(patch.get(), bounds.diffBytes, answer.diff);
    return answer;
  }
  throw ReadError(text::printable(path, 300) + " has no " + std::string(areaWords(area)) +
                  " changes");
}

}  // namespace parley::repo
