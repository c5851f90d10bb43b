#pragma once

// What a model costs and how much context it takes, for the estimate the
// phone and the panel show beside a session's tokens. The built-in table
// holds Anthropic's published list prices; the person's own table
// (prices.json in Parley's configuration folder) adds models and overrides
// entries, so a new model or a negotiated price needs no new release:
//
//   {"claude-sonnet-4": {"input": 3, "output": 15, "cacheWrite": 3.75,
//                        "cacheRead": 0.3, "contextWindow": 200000}}
//
// Prices are US dollars per million tokens. A model is matched by the
// longest entry its name starts with ("claude-sonnet-4" prices
// "claude-sonnet-4-5-20250929"). The control panel edits the table as rows
// and writes back only the entries that differ from the built-in ones, so
// a later release's list prices still reach the rest.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <boost/json/fwd.hpp>

#include "protocol/session.hpp"

namespace parley::claude {

struct ModelPrice {
  std::optional<double> input, output, cacheWrite, cacheRead;  // per million tokens
  std::optional<std::int64_t> contextWindow;
  bool operator==(const ModelPrice&) const = default;
};

class ModelPrices {
 public:
  using Table = std::map<std::string, ModelPrice, std::less<>>;

  // The built-in table.
  ModelPrices();
  // The built-in table with `file` laid over it; a missing file is no
  // change. Throws std::runtime_error naming the file and what is wrong.
  static ModelPrices withFile(const std::filesystem::path& file);
  static std::filesystem::path defaultFile();
  // The built-in table with these rows laid over it, each row whole:
  // [{"model": "claude-x", "input": 3, "output": 15, "cacheWrite": 3.75,
  //   "cacheRead": 0.3, "contextWindow": 200000}] (the window may be null).
  // Throws std::invalid_argument naming the row and what is wrong.
  static ModelPrices fromRows(const boost::json::value& rows);

  const Table& entries() const { return entries_; }
  // Writes the entries that differ from the built-in table to `file`, each
  // whole (throws base::FileError).
  void save(const std::filesystem::path& file) const;

  std::optional<ModelPrice> find(std::string_view model) const;

  // Fills the window (for usage.model) and the estimate (each model's
  // tokens at its own price) from the table, or names in `unknown` what the
  // table lacks.
  void complete(protocol::SessionUsage& usage,
                const std::map<std::string, protocol::TokenCounts, std::less<>>& byModel) const;

 private:
  Table entries_;
};

}  // namespace parley::claude
