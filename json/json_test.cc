#include "json/json.h"

#include <cmath>
#include <iterator>
#include <limits>

#include <gtest/gtest.h>
#include <utf8.h>

namespace lumra {
namespace {

std::string Utf8(const std::u16string& text) {
  std::string out;
  utf8::utf16to8(text.begin(), text.end(), std::back_inserter(out));
  return out;
}

std::string Compact(std::u16string_view text) {
  std::unique_ptr<JsonValue> value = parseJson(text);
  if (!value) return "<null>";
  return Utf8(stringify(*value));
}

TEST(ParseJson, AcceptsAndRejectsLikeTheWireFormat) {
  struct Case {
    std::u16string text;
    std::string written;  // compact text, or <null> when parsing fails
  };
  const Case cases[] = {
      // literals in any case; the unit after a literal is the caller's business
      {u"TRUE", "true"},
      {u" False ", "false"},
      {u"[truex]", "<null>"},
      // empty and blank texts
      {u"", "<null>"},
      {u"\v1", "<null>"},
      // numbers
      {u"0", "0"},
      {u"-0", "-0"},
      {u"0123", "<null>"},
      {u"1.", "<null>"},
      {u"1e+", "<null>"},
      {u"+1", "<null>"},
      {u"1E-2", "0.01"},
      {u"1e-400", "0"},
      {u"1e99999999999999999999", "null"},
      {u"0e99999999999999999999", "0"},
      // arrays and objects
      {u" [ 1 , [ ] , { } ] ", "[1,[],{}]"},
      {u"[1,]", "<null>"},
      {u"[1 2]", "<null>"},
      {u"[", "<null>"},
      {u"{\"a\":1,}", "<null>"},
      {u"{a:1}", "<null>"},
      {u"{\"a\" 1}", "<null>"},
      {u"{\"a\":1", "<null>"},
      {u"{\"a\":1,\"a\":2}", "{\"a\":2}"},
      {u"{\"b\":1,\"a\":2,\"B\":3}", "{\"B\":3,\"a\":2,\"b\":1}"},
      {u"{} x", "<null>"},
      // strings
      {u"\"a\nb\"", "<null>"},
      {u"\"a\tb\"", "\"a\\tb\""},
      {u"\"\\u00e9\\u00E9\"", "\"\u00e9\u00e9\""},
      {u"\"\\u00g9\"", "<null>"},
      {u"\"\\x\"", "<null>"},
      {u"\"\\/\\\\\\\"\\b\\f\\n\\r\\t\"", "\"\\/\\\\\\\"\\b\\f\\n\\r\\t\""},
      {u"\"abc", "<null>"},
      {u"\"\\ud83d\\udcc4\"", "\"\U0001F4C4\""},
      // parsing stops at the first zero code unit
      {std::u16string(u"{}\0 x", 5), "{}"},
      {std::u16string(u"{\"a\0\":1}", 8), "<null>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf8(c.text));
    EXPECT_EQ(Compact(c.text), c.written);
  }
}

TEST(ParseJson, NumbersFollowTheDigitByDigitArithmetic) {
  struct Case {
    std::u16string text;
    double value;
  };
  const double tenth = 0.1;
  const Case cases[] = {
      {u"1.25", 1 + (2 * tenth + 5 * (tenth * tenth))},
      {u"0.3", 3 * tenth},
      {u"-300.7", -(300 + (7 * tenth))},
  };
  for (const Case& c : cases) {
    auto value = parseJson(c.text);
    ASSERT_TRUE(value && value->isNumber());
    EXPECT_EQ(value->asNumber(), c.value);
  }
}

TEST(ParseJson, NestingIsLimitedWithoutExhaustingTheStack) {
  auto nested = [](int depth, char16_t open, char16_t close) {
    return std::u16string(depth, open) + std::u16string(depth, close);
  };
  EXPECT_NE(parseJson(nested(kJsonMaxDepth, u'[', u']')), nullptr);
  EXPECT_EQ(parseJson(nested(kJsonMaxDepth + 1, u'[', u']')), nullptr);
  EXPECT_EQ(parseJson(nested(300000, u'[', u']')), nullptr);
  std::u16string objects;
  for (int i = 0; i < 300000; ++i) objects += u"{\"a\":";
  EXPECT_EQ(parseJson(objects), nullptr);
  std::u16string deepObjects;
  for (int i = 0; i < kJsonMaxDepth; ++i) deepObjects += u"{\"a\":";
  deepObjects += u"1" + std::u16string(kJsonMaxDepth, u'}');
  EXPECT_NE(parseJson(deepObjects), nullptr);
}

TEST(Stringify, NumbersStringsAndFlags) {
  struct Case {
    double number;
    std::string written;
  };
  const Case cases[] = {
      {4294967295.0, "4294967295"},
      {std::nan(""), "null"},
      {std::numeric_limits<double>::infinity(), "null"},
      {1e15, "1e+15"},
      {999999999999999.0, "999999999999999"},
      {-2.5e-7, "-2.5e-07"},
      {1.0 / 3, "0.333333333333333"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8(stringify(JsonValue(c.number))), c.written);
    std::string direct;
    appendJsonNumber(c.number, &direct);
    EXPECT_EQ(direct, c.written);
  }
  JsonValue control(u"\u0001/\u00e9");
  EXPECT_EQ(stringify(control), u"\"\u0001\\/\u00e9\"");
  EXPECT_EQ(stringify(control, false, true), u"\"\\u0001\\/\\u00E9\"");
  // Pretty text indents but keeps commas on the line.
  auto value = parseJson(u"{\"a\":[1,2],\"b\":{}}");
  EXPECT_EQ(stringify(*value, true),
            u"{\n  \"a\":[\n    1,2\n  ],\"b\":{\n    \n  }\n}");
}

// The UTF-8 writer must give the bytes of the wide writer plus conversion.
TEST(StringifyUtf8, MatchesWideTextConvertedAndMendsLoneSurrogates) {
  const std::u16string texts[] = {
      u"{\"path\":\"C:\\\\scans\\/\u00e9\",\"n\":[1,-0,0.25,true,null],\"e\":\"\\ud83d\\udcc4\"}",
      u"[\"\\u0001\\u007f\\u0800\\uffff\"]",
  };
  for (const auto& text : texts) {
    auto value = parseJson(text);
    ASSERT_TRUE(value);
    std::string direct;
    stringifyUtf8(*value, &direct);
    EXPECT_EQ(direct, Utf8(stringify(*value)));
  }
  struct Case {
    std::u16string text;
    std::string written;
  };
  const Case lone[] = {
      {u"\"\\ud800\"", "\"\xEF\xBF\xBD\""},
      {u"\"a\\udc00b\"", "\"a\xEF\xBF\xBD" "b\""},
      {u"\"\\ud800\\ud800\\udc00\"", "\"\xEF\xBF\xBD\xF0\x90\x80\x80\""},
  };
  for (const Case& c : lone) {
    auto value = parseJson(c.text);
    ASSERT_TRUE(value);
    std::string direct;
    stringifyUtf8(*value, &direct);
    EXPECT_EQ(direct, c.written);
  }
}

}  // namespace
}  // namespace lumra
