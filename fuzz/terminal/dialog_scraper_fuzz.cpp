// Feeds arbitrary captures to the permission-dialog reader, and dialogs built
// from arbitrary labels. A dialog read is well formed (valid UTF-8 fields on
// one line, numbered options with the kind their label gives, the nonce of
// its own fields), escapes do not change what is read, and a choice whose
// label grants more than one call, in whatever letter case, is never taken
// for a one-time allow.

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "terminal/ansi_text.hpp"
#include "terminal/dialog_scraper.hpp"
#include "terminal/screen_lines.hpp"
#include "text/utf8.hpp"

using namespace parley;
using terminal::DialogScraper;

namespace {

bool oneLineOfText(std::string_view field) {
  return text::isValidUtf8(field) && field.find('\n') == std::string_view::npos &&
         field.find('\x1b') == std::string_view::npos;
}

void checkDialog(const DialogScraper::Dialog& dialog) {
  if (dialog.options.empty() || !oneLineOfText(dialog.header) || !oneLineOfText(dialog.detail) ||
      (dialog.description && !oneLineOfText(*dialog.description)))
    std::abort();
  for (const protocol::PermissionOption& option : dialog.options) {
    if (option.index < 0 || option.label.empty() || !oneLineOfText(option.label) ||
        option.kind != DialogScraper::kindOf(option.label))
      std::abort();
  }
  if (dialog.nonce != DialogScraper::nonceFor(dialog.header, dialog.detail, dialog.options))
    std::abort();
}

constexpr std::array<std::string_view, 9> kGrants{"ask again",    "don’t",       "don't",
                                                  "always",       "allow all",   "this session",
                                                  "this project", "auto-accept", "from now on"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view capture(reinterpret_cast<const char*>(data), size);
  const auto dialog = DialogScraper::scrape(capture);
  if (dialog)
    checkDialog(*dialog);
  std::string plain;
  const std::vector<std::string_view> lines = terminal::screen::lines(capture);
  for (std::size_t i = 0; i < lines.size(); ++i)
    plain += (i > 0 ? "\n" : "") + terminal::AnsiText::stripped(lines[i]);
  if (DialogScraper::scrape(plain) != dialog)
    std::abort();

  // A dialog whose second choice carries a lasting grant somewhere in its
  // label, in mixed case.
  FuzzedDataProvider provider(data, size);
  std::string grant(kGrants[provider.ConsumeIntegralInRange<std::size_t>(0, kGrants.size() - 1)]);
  for (char& c : grant) {
    if (provider.ConsumeBool())
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  std::string prefix = text::toValidUtf8(provider.ConsumeRandomLengthString(24));
  // No line break, escape or question mark: the label stays one option line.
  std::erase_if(prefix, [](char c) { return c == '\n' || c == '\x1b' || c == '?'; });
  const std::string label = "Yes, " + prefix + grant + " for this";
  if (DialogScraper::kindOf(label) != protocol::PermissionOption::Kind::allowAlways)
    std::abort();
  const std::string screen =
      "Bash command\n  rm -rf build\nDo you want to proceed?\n❯ 1. Yes\n  2. " + label +
      "\n  3. No\n";
  const auto built = DialogScraper::scrape(screen);
  if (!built || built->options.size() != 3)
    std::abort();
  checkDialog(*built);
  if (built->options[1].kind != protocol::PermissionOption::Kind::allowAlways)
    std::abort();
  return 0;
}
