#include "protocol/json_value.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

namespace parley::protocol {
namespace {

JSONValue parse(std::string_view text) {
  return JSONValue::fromJson(parseJson(text));
}

TEST(JSONValue, DecodesEachJsonKindToItsCase) {
  EXPECT_EQ(parse("1").kind(), JSONValue::Kind::number);
  EXPECT_EQ(parse("1").numberValue(), 1.0);
  EXPECT_EQ(parse("18446744073709551615").numberValue(), 18446744073709551615.0);
  EXPECT_EQ(parse("true").boolValue(), true);
  EXPECT_EQ(parse("\"1\"").kind(), JSONValue::Kind::string);
  EXPECT_EQ(*parse("\"1\"").stringValue(), "1");
  EXPECT_TRUE(parse("{}").objectValue()->empty());
  EXPECT_TRUE(parse("[]").arrayValue()->empty());
  EXPECT_TRUE(parse("null").isNull());
}

TEST(JSONValue, AccessorsNeverConvertBetweenKinds) {
  const JSONValue v = parse(R"({"n": 1, "s": "x", "a": [true, "y"], "b": false})");
  EXPECT_EQ(v["n"]->boolValue(), std::nullopt);
  EXPECT_EQ(v["b"]->boolValue(), false);
  EXPECT_EQ(v.string("n"), nullptr);
  EXPECT_EQ(*v.string("s"), "x");
  EXPECT_EQ(v["missing"], nullptr);
  EXPECT_EQ((*v["a"])[std::size_t{1}]->stringValue()->front(), 'y');
  EXPECT_EQ((*v["a"])[std::size_t{2}], nullptr);
  EXPECT_EQ(v[std::size_t{0}], nullptr);  // an object is not indexable
  EXPECT_EQ((*v["a"])["key"], nullptr);   // an array has no keys
  EXPECT_EQ(v["s"]->arrayValue(), nullptr);
}

TEST(JSONValue, FlattenedTextJoinsValuesInKeyOrderAndKeepsEmptyParts) {
  EXPECT_EQ(parse(R"({"b": "two", "a": "one"})").flattenedText(), "one two");
  EXPECT_EQ(parse(R"([1, "x"])").flattenedText(), " x");
  EXPECT_EQ(parse("true").flattenedText(), "");
  EXPECT_EQ(parse("null").flattenedText(), "");
  EXPECT_EQ(parse(R"({"cmd": ["git", {"z": "push", "y": 3}], "a": "sudo"})").flattenedText(),
            "sudo git  push");
  // Keys compare by code point: upper-case letters sort before lower-case,
  // and multi-byte UTF-8 after ASCII.
  EXPECT_EQ(parse(R"({"é": "3", "a": "2", "B": "1"})").flattenedText(), "1 2 3");
}

TEST(JSONValue, ObjectsAreEqualAndHashAlikeWhateverTheirOrder) {
  const JSONValue a = parse(R"({"x": 1, "y": [1, 2], "z": {"p": null}})");
  const JSONValue b = parse(R"({"z": {"p": null}, "y": [1, 2], "x": 1.0})");
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.hash(), b.hash());
  EXPECT_NE(parse("[1, 2]"), parse("[2, 1]"));
  EXPECT_NE(parse(R"({"x": 1})"), parse(R"({"x": true})"));
  EXPECT_NE(parse(R"({"x": 1})"), parse(R"({"y": 1})"));
  EXPECT_EQ(parse("0.0").hash(), parse("-0.0").hash());
  std::unordered_set<JSONValue> set{a, b, parse("\"1\""), parse("1")};
  EXPECT_EQ(set.size(), 3u);
}

TEST(JSONValue, RoundTripsThroughJsonAndKeepsTheLastOfDuplicateKeys) {
  const JSONValue v =
      parse(R"({"s": "a\"b\n", "n": -2.5, "a": [null, false, {"k": []}], "u": "✓"})");
  EXPECT_EQ(JSONValue::fromJson(v.toJson()), v);
  EXPECT_EQ(json::serialize(parse("null").toJson()), "null");
  EXPECT_EQ(*parse(R"({"k": "first", "k": "last"})").string("k"), "last");
}

TEST(WireDates, OnlyWholeSecondZuluTimesThatADateCanHoldParse) {
  using namespace std::chrono;
  const Date d = sys_days{2025y / January / 31} + 9h + 15min + 250ms;
  EXPECT_EQ(formatDate(d), "2025-01-31T09:15:00Z");
  EXPECT_EQ(formatDate(Date{}), "1970-01-01T00:00:00Z");
  EXPECT_EQ(parseDate("2025-01-31T09:15:00Z"), floor<seconds>(d));
  EXPECT_EQ(parseDate("2024-02-29T23:59:59Z"), sys_days{2024y / February / 29} + 86399s);
  // A Date counts nanoseconds in 64 bits: 1677-09-21 to 2262-04-11; years
  // beyond are refused, not wrapped around.
  EXPECT_EQ(parseDate("1677-09-22T00:00:00Z"), sys_days{1677y / September / 22});
  EXPECT_EQ(parseDate("2262-04-10T23:59:59Z"), sys_days{2262y / April / 10} + 86399s);
  EXPECT_EQ(dateAt(sys_days{1970y / January / 1}, 5ns), Date{} + 5ns);
  for (const char* bad :
       {"2025-01-31T09:15:00.250Z", "2025-01-31T09:15:00", "2025-01-31T09:15:00+00:00",
        "2025-01-31 09:15:00Z", "2025-01-31T09:15:00z", "2025-02-30T09:15:00Z",
        "2025-13-01T09:15:00Z", "2025-01-31T24:00:00Z", "2025-01-31T09:60:00Z",
        "2025-01-31T09:15:60Z", "2025-1-31T09:15:00Z", "", "+025-01-31T09:15:00Z",
        "2025-01-31T09:15:0aZ", "1012-01-31T09:15:00Z", "0000-01-01T00:00:00Z",
        "1677-09-21T00:00:00Z", "2262-04-12T00:00:00Z", "9999-12-31T23:59:59Z"})
    EXPECT_EQ(parseDate(bad), std::nullopt) << bad;
}

TEST(WireIntegers, AcceptIntegralNumbersInRangeOnly) {
  const auto i64 = [](std::string_view t) {
    return decodeValue(parseJson(t), Tag<std::int64_t>{});
  };
  const auto u64 = [](std::string_view t) {
    return decodeValue(parseJson(t), Tag<std::uint64_t>{});
  };
  const auto i32 = [](std::string_view t) {
    return decodeValue(parseJson(t), Tag<std::int32_t>{});
  };
  EXPECT_EQ(i64("12.0"), 12);
  EXPECT_EQ(i64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(u64("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(i32("2147483647"), INT32_MAX);
  for (const char* bad : {"12.5", "\"12\"", "true", "9223372036854775808", "1e19"})
    EXPECT_THROW(i64(bad), DecodeError) << bad;
  for (const char* bad : {"-1", "1.8446744073709552e19"})
    EXPECT_THROW(u64(bad), DecodeError) << bad;
  EXPECT_THROW(i32("2147483648"), DecodeError);
  EXPECT_THROW(decodeValue(parseJson("1"), Tag<bool>{}), DecodeError);
  EXPECT_THROW(decodeValue(parseJson("null"), Tag<std::string>{}), DecodeError);
}

}  // namespace
}  // namespace parley::protocol
