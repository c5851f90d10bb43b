#include "claude/model_prices.hpp"

#include <algorithm>
#include <boost/json.hpp>
#include <cmath>
#include <set>

#include "base/files.hpp"
#include "base/paths.hpp"

namespace parley::claude {

namespace json = boost::json;

namespace {

constexpr std::int64_t kStandardWindow = 200'000;
// No model's context comes near this; a larger figure is a typing slip,
// and past what a double holds exactly it could not be converted safely.
constexpr double kLargestWindow = 1e9;
constexpr std::size_t kLongestName = 200;

ModelPrice listPrice(double input, double output) {
  // Anthropic's rule: writing the cache costs 1.25 times the input price,
  // reading it a tenth.
  return {input, output, input * 1.25, input * 0.1, kStandardWindow};
}

const ModelPrices::Table& builtInTable() {
  static const ModelPrices::Table table{
      {"claude-opus-4", listPrice(15, 75)},   {"claude-opus-4-5", listPrice(5, 25)},
      {"claude-sonnet-4", listPrice(3, 15)},  {"claude-3-7-sonnet", listPrice(3, 15)},
      {"claude-haiku-4", listPrice(1, 5)},    {"claude-3-5-haiku", listPrice(0.8, 4)},
      {"claude-3-5-sonnet", listPrice(3, 15)}};
  return table;
}

constexpr std::pair<const char*, std::optional<double> ModelPrice::*> kPriceFields[] = {
    {"input", &ModelPrice::input},
    {"output", &ModelPrice::output},
    {"cacheWrite", &ModelPrice::cacheWrite},
    {"cacheRead", &ModelPrice::cacheRead}};

template <class Error>
std::optional<double> priceField(const json::object& entry, std::string_view key,
                                 const std::string& where) {
  const json::value* v = entry.if_contains(key);
  if (v == nullptr || v->is_null())
    return std::nullopt;
  if (!v->is_number() || !(v->to_number<double>() >= 0) || !std::isfinite(v->to_number<double>()))
    throw Error(where + ": \u201c" + std::string(key) +
                "\u201d must be a number of dollars per million tokens, at least 0");
  return v->to_number<double>();
}

template <class Error>
std::optional<std::int64_t> window(const json::object& entry, const std::string& where) {
  const json::value* v = entry.if_contains("contextWindow");
  if (v == nullptr || v->is_null())
    return std::nullopt;
  const double n = v->is_number() ? v->to_number<double>() : 0;
  if (!(n >= 1 && n <= kLargestWindow) || std::floor(n) != n)
    throw Error(
        where +
        ": \u201ccontextWindow\u201d must be a whole number of tokens, from 1 to 1000000000");
  return static_cast<std::int64_t>(n);
}

// Lays the fields `entry` names over `price`.
template <class Error>
void layOver(ModelPrice& price, const json::object& entry, const std::string& where) {
  for (const auto& [key, field] : kPriceFields)
    if (auto n = priceField<Error>(entry, key, where))
      price.*field = n;
  if (auto w = window<Error>(entry, where))
    price.contextWindow = w;
}

template <class Error>
void checkName(std::string_view name, const std::string& where) {
  // An empty prefix would price every model.
  if (name.find_first_not_of(" \t") == std::string_view::npos)
    throw Error(where + ": the model name is empty");
  if (name.size() > kLongestName)
    throw Error(where + ": the model name is longer than 200 characters");
}

}  // namespace

ModelPrices::ModelPrices() : entries_(builtInTable()) {}

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
    checkName<std::runtime_error>(name, where);
    if (!value.is_object())
      throw std::runtime_error(entryWhere + ": not an object of prices");
    layOver<std::runtime_error>(prices.entries_[std::string(name)], value.get_object(), entryWhere);
  }
  return prices;
}

ModelPrices ModelPrices::fromRows(const json::value& rows) {
  if (!rows.is_array())
    throw std::invalid_argument("the prices must be a list of rows");
  ModelPrices prices;
  std::set<std::string, std::less<>> named;
  std::size_t number = 0;
  for (const json::value& row : rows.get_array()) {
    std::string where = "row ";
    where += std::to_string(++number);
    if (!row.is_object())
      throw std::invalid_argument(where + " is not an object");
    const json::object& o = row.get_object();
    const json::value* model = o.if_contains("model");
    const std::string name = model && model->is_string() ? std::string(model->get_string()) : "";
    checkName<std::invalid_argument>(name, where);
    where += " (";
    where += name;
    where += ')';
    if (!named.insert(name).second)
      throw std::invalid_argument(where + ": the model is listed twice");
    ModelPrice price;
    layOver<std::invalid_argument>(price, o, where);
    for (const auto& [key, field] : kPriceFields)
      if (!(price.*field))
        throw std::invalid_argument(where + ": \u201c" + std::string(key) + "\u201d is missing");
    prices.entries_[name] = price;
  }
  return prices;
}

void ModelPrices::save(const std::filesystem::path& file) const {
  json::object doc;
  for (const auto& [name, price] : entries_) {
    const auto builtIn = builtInTable().find(name);
    if (builtIn != builtInTable().end() && builtIn->second == price)
      continue;
    json::object entry;
    for (const auto& [key, field] : kPriceFields) {
      if (!(price.*field))
        continue;
      // Whole dollars as integers: the file stays easy to read by hand.
      const double n = *(price.*field);
      if (n == std::floor(n) && n < 1e15)
        entry[key] = static_cast<std::int64_t>(n);
      else
        entry[key] = n;
    }
    if (price.contextWindow)
      entry["contextWindow"] = *price.contextWindow;
    doc[name] = std::move(entry);
  }
  base::createDirectories(file.parent_path());
  base::writeFileAtomically(file, json::serialize(doc) + "\n");
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
