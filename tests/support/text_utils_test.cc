#include "support/text_utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "support/errors.h"

namespace vd {
namespace {

TEST(TextUtilsTest, ControlCharactersBecomeHexInBracketsOthersStay) {
  EXPECT_EQ(EscapeControlChars(std::string_view("a\t\x7F\r\0", 5), false), "a[09][7F][0D][00]");
  EXPECT_EQ(EscapeControlChars(std::string_view("x\0y\x1F", 4), true), "xy[1F]");
  EXPECT_EQ(EscapeControlChars("Zone 5 \xB1\xE6 ~ [ok]", false), "Zone 5 \xB1\xE6 ~ [ok]");
}

TEST(TextUtilsTest, ReadKeyValueMatchesKeysIgnoringCaseAndBlanksAndUnquotesValues) {
  const char* text = "Name=\"main;b=c\"; PORT = 5000 ;a=1;x;a=2";
  EXPECT_EQ(ReadKeyValue(" name ", text), "main;b=c");
  EXPECT_EQ(ReadKeyValue("port", text), "5000");
  EXPECT_EQ(ReadKeyValue("a", text), "12");  // a repeated key is joined
  EXPECT_EQ(ReadKeyValue("Host", text), "");
}

TEST(TextUtilsTest, ParsersAcceptSignedDecimalsAndBooleanWordsOnly) {
  EXPECT_EQ(ParseInt64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(ParseInt64("+9223372036854775807"), INT64_MAX);
  for (const char* y : {"1", "-3", "99999999999999999999", "TrUe", "1.0", "1E3", "+.5", "7.",
                        "0.001e-999", "2E+999"})
    EXPECT_TRUE(ParseBool(y)) << y;
  for (const char* no : {"0", "000", "false", "-0.0", "0E5", ".0"})
    EXPECT_FALSE(ParseBool(no)) << no;
  for (const char* b : {"", " 1", "1x", "+", "+-1", "0x10", "1.0", "9223372036854775808"})
    EXPECT_THROW(ParseInt64(b), EConvertError) << b;
  EXPECT_THROW(ParseInt32("2147483648"), EConvertError);
  for (const char* b : {"", " 1", "1,5", "1.5x", "+-1", "NAN", "0x1p3", "INF", "1E999"})
    EXPECT_THROW(ParseFloat(b), EConvertError) << b;
  for (const char* bad :
       {"yes", "", " 1", ".", "-", "1E", "1e+", "E3", "NAN", "INF", "1.0 ", "0x1"})
    EXPECT_THROW(ParseBool(bad), EConvertError) << bad;
  EXPECT_THAT([] { ParseInt32("7x"); }, testing::ThrowsMessage<EConvertError>(
                                            testing::StrEq("'7x' is not a valid integer value")));
}

TEST(TextUtilsTest, FormatFloatUsesFifteenDigitsAndParseFloatReadsItBack) {
  using Row = std::pair<double, const char*>;
  for (const auto& [value, text] :
       {Row{0.0, "0"}, Row{-0.0, "0"}, Row{1.5, "1.5"}, Row{-42, "-42"}, Row{0.1 + 0.2, "0.3"},
        Row{1.0 / 3, "0.333333333333333"}, Row{0.0001, "0.0001"}, Row{0.00001, "1E-5"},
        Row{123456789012345.0, "123456789012345"}, Row{1e15, "1E15"},
        Row{-2.5e-100, "-2.5E-100"}}) {
    EXPECT_EQ(FormatFloat(value), text);
    EXPECT_NEAR(ParseFloat(text), value, std::fabs(value) * 1e-14) << text;
  }
}

TEST(TextUtilsTest, FormatPlaceholdersFillsNumberedValuesAndLeavesTheRest) {
  EXPECT_EQ(FormatPlaceholders("{1}{0}{1}|{02}|{3}|{4}", {int64_t{-5}, true, 'c', 2.5, "s"}),
            "True-5True|c|2.5|s");
  EXPECT_EQ(FormatPlaceholders("{5} {x} {} a}b {{0} end {1", {7}), "{5} {x} {} a}b {7 end {1");
  EXPECT_EQ(FormatPlaceholders("{99999999999999999999}", {7}), "{99999999999999999999}");
}

}  // namespace
}  // namespace vd
