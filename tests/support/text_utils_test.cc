#include "support/text_utils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>

#include "support/errors.h"

namespace vd {
namespace {

TEST(EscapeControlCharsTest, ControlCharactersBecomeHexInBrackets) {
  EXPECT_EQ(EscapeControlChars("a\tb\x7F", false), "a[09]b[7F]");
  EXPECT_EQ(EscapeControlChars("line\r\n", false), "line[0D][0A]");
  EXPECT_EQ(EscapeControlChars(std::string_view("x\0y", 3), false), "x[00]y");
  EXPECT_EQ(EscapeControlChars(std::string_view("x\0y", 3), true), "xy");
  EXPECT_EQ(EscapeControlChars("\x1F\x01", true), "[1F][01]");
}

TEST(EscapeControlCharsTest, PrintableAndHighBytesStay) {
  const std::string text = "Zone 5 \xB1\xE6 ~ [ok]";
  EXPECT_EQ(EscapeControlChars(text, false), text);
}

TEST(ReadKeyValueTest, KeysMatchIgnoringCaseAndBlanks) {
  EXPECT_EQ(ReadKeyValue("port", "Name = a ; PORT=5000"), "5000");
  EXPECT_EQ(ReadKeyValue(" name ", "Name = a ; PORT=5000"), "a");
  EXPECT_EQ(ReadKeyValue("IP", "Name=main;IP=10.0.0.5;Port=5000"), "10.0.0.5");
}

TEST(ReadKeyValueTest, QuotedValueKeepsSeparatorsButLosesQuotes) {
  EXPECT_EQ(ReadKeyValue("Name", "Name=\"main;b=c\";Port=1"), "main;b=c");
  EXPECT_EQ(ReadKeyValue("Port", "Name=\"main;b=c\";Port=1"), "1");
}

TEST(ReadKeyValueTest, MissingKeyIsEmptyAndRepeatedKeyIsJoined) {
  EXPECT_EQ(ReadKeyValue("Host", "Name=main;Port=5000"), "");
  EXPECT_EQ(ReadKeyValue("Name", ""), "");
  EXPECT_EQ(ReadKeyValue("a", "a=1;a=2"), "12");
  // A key without "=" collects nothing and does not disturb the next one.
  EXPECT_EQ(ReadKeyValue("b", "a;b=2"), "2");
}

TEST(ParseIntTest, AcceptsSignedDecimalWithinRange) {
  EXPECT_EQ(ParseInt64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(ParseInt64("+9223372036854775807"), INT64_MAX);
  EXPECT_EQ(ParseInt32("-2147483648"), INT32_MIN);
  EXPECT_EQ(ParseInt32("007"), 7);
}

TEST(ParseIntTest, RejectsAnythingElseNamingTheText) {
  for (const char* bad :
       {"", " 1", "1 ", "1x", "+", "-", "+-1", "0x10", "1.0", "$FF", "9223372036854775808"}) {
    EXPECT_THROW(ParseInt64(bad), EConvertError) << bad;
  }
  EXPECT_THROW(ParseInt32("2147483648"), EConvertError);
  try {
    ParseInt32("7x");
    FAIL();
  } catch (const EConvertError& error) {
    EXPECT_EQ(error.Message(), "'7x' is not a valid integer value");
  }
}

TEST(ParseBoolTest, AcceptsNumbersAndWordsInAnyCase) {
  EXPECT_TRUE(ParseBool("1"));
  EXPECT_FALSE(ParseBool("0"));
  EXPECT_TRUE(ParseBool("-3"));
  EXPECT_TRUE(ParseBool("123456789012345678901234567890"));
  EXPECT_FALSE(ParseBool("000"));
  EXPECT_TRUE(ParseBool("TRUE"));
  EXPECT_FALSE(ParseBool("false"));
  EXPECT_THROW(ParseBool("yes"), EConvertError);
  EXPECT_THROW(ParseBool(""), EConvertError);
  EXPECT_THROW(ParseBool(" 1"), EConvertError);
}

TEST(FormatFloatTest, GeneralFormatWithFifteenDigits) {
  EXPECT_EQ(FormatFloat(0.0), "0");
  EXPECT_EQ(FormatFloat(-0.0), "0");
  EXPECT_EQ(FormatFloat(1.5), "1.5");
  EXPECT_EQ(FormatFloat(-42), "-42");
  EXPECT_EQ(FormatFloat(0.1 + 0.2), "0.3");
  EXPECT_EQ(FormatFloat(1.0 / 3), "0.333333333333333");
  EXPECT_EQ(FormatFloat(0.0001), "0.0001");
  EXPECT_EQ(FormatFloat(0.00001), "1E-5");
  EXPECT_EQ(FormatFloat(123456789012345.0), "123456789012345");
  EXPECT_EQ(FormatFloat(1e15), "1E15");
  EXPECT_EQ(FormatFloat(-2.5e-100), "-2.5E-100");
}

TEST(ParseFloatTest, ReadsWhatFormatFloatWrites) {
  EXPECT_EQ(ParseFloat("1E-5"), 1e-5);
  EXPECT_EQ(ParseFloat("1E15"), 1e15);
  EXPECT_EQ(ParseFloat("-0.25"), -0.25);
  EXPECT_EQ(ParseFloat("+3"), 3.0);
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> mantissa(-10, 10);
  std::uniform_int_distribution<int> exponent(-300, 300);
  for (int i = 0; i < 2000; ++i) {
    const double value = std::ldexp(mantissa(random), exponent(random));
    const double back = ParseFloat(FormatFloat(value));
    EXPECT_NEAR(back, value, std::fabs(value) * 1e-14) << FormatFloat(value);
  }
}

TEST(ParseFloatTest, RejectsMalformedAndNonFiniteText) {
  for (const char* bad :
       {"", " 1", "1,5", "1.5x", "--1", "+-1", "1E", "0x1p3", "INF", "NAN", "1E999"}) {
    EXPECT_THROW(ParseFloat(bad), EConvertError) << bad;
  }
}

TEST(ParsersTest, RandomTextNeverCrashesAndOnlyRaisesConvertError) {
  std::mt19937 random(12345);
  const std::string alphabet = "0123456789+-.eE xX;=\"tTrRuUeEfFaAlLsS\x01\xFF";
  std::uniform_int_distribution<size_t> length(0, 24);
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  for (int i = 0; i < 3000; ++i) {
    std::string text(length(random), ' ');
    for (char& c : text) c = alphabet[pick(random)];
    try {
      const int64_t value = ParseInt64(text);
      EXPECT_EQ(std::to_string(value), std::to_string(ParseInt64(std::to_string(value))));
    } catch (const EConvertError&) {
    }
    try {
      EXPECT_TRUE(std::isfinite(ParseFloat(text)));
    } catch (const EConvertError&) {
    }
    try {
      ParseBool(text);
    } catch (const EConvertError&) {
    }
    EXPECT_LE(ReadKeyValue("x", text).size(), text.size());
  }
}

TEST(FormatPlaceholdersTest, FillsNumberedValues) {
  EXPECT_EQ(FormatPlaceholders("Port {0} of {1}", {3, "A"}), "Port 3 of A");
  EXPECT_EQ(FormatPlaceholders("{1}{0}{1}", {int64_t{-5}, true}), "True-5True");
  EXPECT_EQ(FormatPlaceholders("{0}|{1}|{2}", {'c', 2.5, std::string("s")}), "c|2.5|s");
  EXPECT_EQ(FormatPlaceholders("{00}", {false}), "False");
}

TEST(FormatPlaceholdersTest, AnythingThatIsNoPlaceholderStays) {
  EXPECT_EQ(FormatPlaceholders("{5}", {1, 2}), "{5}");
  EXPECT_EQ(FormatPlaceholders("{0} and {1}", {}), "{0} and {1}");
  EXPECT_EQ(FormatPlaceholders("{x}", {1}), "{x}");
  EXPECT_EQ(FormatPlaceholders("{}", {1}), "{}");
  EXPECT_EQ(FormatPlaceholders("a}b", {1}), "a}b");
  EXPECT_EQ(FormatPlaceholders("{{0}", {7}), "{7");
  EXPECT_EQ(FormatPlaceholders("end {1", {7}), "end {1");
  EXPECT_EQ(FormatPlaceholders("{99999999999999999999}", {7}), "{99999999999999999999}");
}

}  // namespace
}  // namespace vd
