#include "protocol/wire_coding.hpp"

#include <cmath>
#include <cstdio>
#include <limits>

namespace parley::protocol {

namespace {

std::optional<int> digits(std::string_view text, std::size_t pos, std::size_t count) {
  int value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9')
      return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// An integral double within [min, max], as a JSON number may carry an integer
// written as 12.0 or 1e3.
template <class Int>
std::optional<Int> integralDouble(double d) {
  if (!std::isfinite(d) || std::trunc(d) != d)
    return std::nullopt;
  // The bounds are compared as doubles; 2^63 and 2^64 are exact there.
  if (d < static_cast<double>(std::numeric_limits<Int>::min()) ||
      d >= std::ldexp(1.0, std::numeric_limits<Int>::digits))
    return std::nullopt;
  return static_cast<Int>(d);
}

}  // namespace

std::string formatDate(Date date) {
  using namespace std::chrono;
  const auto secs = floor<seconds>(date);
  const auto days = floor<std::chrono::days>(secs);
  const year_month_day ymd{days};
  const hh_mm_ss<seconds> tod{secs - days};
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02ld:%02ld:%02ldZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<long>(tod.hours().count()), static_cast<long>(tod.minutes().count()),
                static_cast<long>(tod.seconds().count()));
  return buf;
}

std::optional<Date> parseDate(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SSZ
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z')
    return std::nullopt;
  const auto y = digits(text, 0, 4), mo = digits(text, 5, 2), d = digits(text, 8, 2);
  const auto h = digits(text, 11, 2), mi = digits(text, 14, 2), s = digits(text, 17, 2);
  if (!y || !mo || !d || !h || !mi || !s)
    return std::nullopt;
  using namespace std::chrono;
  const year_month_day ymd{year{*y}, month{static_cast<unsigned>(*mo)},
                           day{static_cast<unsigned>(*d)}};
  if (!ymd.ok() || *h > 23 || *mi > 59 || *s > 59)
    return std::nullopt;
  return dateAt(sys_days{ymd} + hours{*h} + minutes{*mi} + seconds{*s});
}

std::optional<Date> dateAt(std::chrono::sys_seconds instant, std::chrono::nanoseconds fraction) {
  using namespace std::chrono;
  // Compared in seconds, where years 0 to 9999 fit with room to spare;
  // converting first would overflow.
  const auto earliest = ceil<seconds>(Date::min());
  const auto latest = floor<seconds>(Date::max()) - seconds(1);
  if (instant < earliest || instant > latest)
    return std::nullopt;
  return time_point_cast<Date::duration>(instant) + duration_cast<Date::duration>(fraction);
}

json::value parseJson(std::string_view text) {
  boost::system::error_code ec;
  json::value v = json::parse(text, ec);
  if (ec)
    throw DecodeError("malformed JSON: " + ec.message());
  return v;
}

std::string decodeValue(const json::value& v, Tag<std::string>) {
  if (const json::string* s = v.if_string())
    return std::string(*s);
  throw DecodeError("expected a string");
}

bool decodeValue(const json::value& v, Tag<bool>) {
  if (const bool* b = v.if_bool())
    return *b;
  throw DecodeError("expected a boolean");
}

std::int64_t decodeValue(const json::value& v, Tag<std::int64_t>) {
  if (const auto* i = v.if_int64())
    return *i;
  if (const auto* u = v.if_uint64()) {
    if (*u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return static_cast<std::int64_t>(*u);
  } else if (const auto* d = v.if_double()) {
    if (auto i = integralDouble<std::int64_t>(*d))
      return *i;
  }
  throw DecodeError("expected an integer");
}

std::int32_t decodeValue(const json::value& v, Tag<std::int32_t>) {
  std::int64_t wide;
  try {
    wide = decodeValue(v, Tag<std::int64_t>{});
  } catch (const DecodeError&) {
    throw DecodeError("expected a 32-bit integer");
  }
  if (wide < std::numeric_limits<std::int32_t>::min() ||
      wide > std::numeric_limits<std::int32_t>::max())
    throw DecodeError("expected a 32-bit integer");
  return static_cast<std::int32_t>(wide);
}

std::uint64_t decodeValue(const json::value& v, Tag<std::uint64_t>) {
  if (const auto* u = v.if_uint64())
    return *u;
  if (const auto* i = v.if_int64()) {
    if (*i >= 0)
      return static_cast<std::uint64_t>(*i);
  } else if (const auto* d = v.if_double()) {
    if (auto u = integralDouble<std::uint64_t>(*d))
      return *u;
  }
  throw DecodeError("expected an unsigned integer");
}

double decodeValue(const json::value& v, Tag<double>) {
  if (v.is_number())
    return v.to_number<double>();
  throw DecodeError("expected a number");
}

Date decodeValue(const json::value& v, Tag<Date>) {
  const json::string* s = v.if_string();
  if (s == nullptr)
    throw DecodeError("expected a date string");
  if (auto date = parseDate(std::string_view(*s)))
    return *date;
  throw DecodeError("not a whole-second UTC date: \"" + std::string(*s) + "\"");
}

ObjectReader::ObjectReader(const json::value& value, std::string_view what)
    : object_([&]() -> const json::object& {
        if (const json::object* o = value.if_object())
          return *o;
        throw DecodeError(std::string(what) + ": expected a JSON object");
      }()),
      what_(what) {}

void ObjectReader::fail(std::string_view key, std::string_view problem) const {
  // A nested record is named as C++ qualifies it; its error text uses dots.
  std::string where;
  for (std::size_t i = 0; i < what_.size(); ++i) {
    const bool scope = what_.substr(i, 2) == "::";
    where += scope ? '.' : what_[i];
    i += scope ? 1 : 0;
  }
  throw DecodeError(where + "." + std::string(key) + ": " + std::string(problem));
}

}  // namespace parley::protocol
