#include "claude/model_prices.hpp"

#include <algorithm>
#include <boost/json.hpp>

#include "base/files.hpp"
#include "base/paths.hpp"

namespace parley::claude {

namespace json = boost::json;

namespace {

constexpr std::int64_t kStandardWindow = 200'000;

ModelPrice listPrice(double input, double output) {
  // Anthropic's rule: writing the cache costs 1.25 times the input price,
  // reading it a tenth.
  return {input, output, input * 1.25, input * 0.1, kStandardWindow};
}

std::optional<double> number(const json::object& entry, std::string_view key,
                             const std::string& where) {
  const json::value* v = entry.if_contains(key);
  if (v == nullptr)
    return std::nullopt;
  if (!v->is_number() || v->to_number<double>() < 0)
    throw std::runtime_error(where + ": \"" + std::string(key) +
                             "\" must be a number of dollars per million tokens, at least 0");
  return v->to_number<double>();
}

}  // namespace

ModelPrices::ModelPrices() {
  entries_ = {{"claude-opus-4", listPrice(15, 75)},   {"claude-opus-4-5", listPrice(5, 25)},
              {"claude-sonnet-4", listPrice(3, 15)},  {"claude-3-7-sonnet", listPrice(3, 15)},
              {"claude-haiku-4", listPrice(1, 5)},    {"claude-3-5-haiku", listPrice(0.8, 4)},
              {"claude-3-5-sonnet", listPrice(3, 15)}};
}

std::filesystem::path ModelPrices::defaultFile() {
  return base::configDirectory() / "prices.json";
}

ModelPrices ModelPrices::withFile(const std::filesystem::path& file) {
  ModelPrices prices;
  const auto text = base::readFileIfExists(file, 1 << 20);
  if (!text)
    return prices;
  const std::string where = file.string();
  boost::system::error_code ec;
  const json::value doc = json::parse(*text, ec);
  if (ec || !doc.is_object())
    throw std::runtime_error(where + ": not a JSON object of model names");
  for (const auto& [name, value] : doc.get_object()) {
    const std::string entryWhere = where + ": " + std::string(name);
    if (!value.is_object())
      throw std::runtime_error(entryWhere + ": not an object of prices");
    const json::object& entry = value.get_object();
    ModelPrice& price = prices.entries_[std::string(name)];
    for (auto [key, field] : {std::pair{"input", &ModelPrice::input},
                              {"output", &ModelPrice::output},
                              {"cacheWrite", &ModelPrice::cacheWrite},
                              {"cacheRead", &ModelPrice::cacheRead}}) {
      if (auto n = number(entry, key, entryWhere))
        price.*field = n;
    }
    if (auto window = number(entry, "contextWindow", entryWhere))
      price.contextWindow = static_cast<std::int64_t>(*window);
  }
  return prices;
}

std::optional<ModelPrice> ModelPrices::find(std::string_view model) const {
  const ModelPrice* best = nullptr;
  std::size_t bestLength = 0;
  for (const auto& [prefix, price] : entries_) {
    if (model.starts_with(prefix) && prefix.size() >= bestLength) {
      best = &price;
      bestLength = prefix.size();
    }
  }
  if (best == nullptr)
    return std::nullopt;
  return *best;
}

void ModelPrices::complete(
    protocol::SessionUsage& usage,
    const std::map<std::string, protocol::TokenCounts, std::less<>>& byModel) const {
  if (usage.model) {
    const std::string& model = *usage.model;
    const auto price = find(model);
    // Claude Code names a million-token context with a suffix on the model.
    if (model.ends_with("[1m]"))
      usage.contextWindow = 1'000'000;
    else if (price && price->contextWindow)
      usage.contextWindow = price->contextWindow;
    else
      usage.unknown.push_back("the context window of " + model);
  }
  double cost = 0;
  for (const auto& [model, t] : byModel) {
    const auto price = find(model);
    if (!price || !price->input || !price->output || !price->cacheWrite || !price->cacheRead) {
      usage.unknown.push_back("the price of " + model);
      continue;
    }
    cost += (static_cast<double>(t.input) * *price->input +
             static_cast<double>(t.output) * *price->output +
             static_cast<double>(t.cacheWrite) * *price->cacheWrite +
             static_cast<double>(t.cacheRead) * *price->cacheRead) /
            1e6;
  }
  // A part-priced session has no estimate: a low figure would mislead.
  if (!byModel.empty() &&
      usage.unknown.end() ==
          std::find_if(usage.unknown.begin(), usage.unknown.end(),
                       [](const std::string& u) { return u.starts_with("the price"); }))
    usage.estimatedCost = cost;
}

}  // namespace parley::claude
