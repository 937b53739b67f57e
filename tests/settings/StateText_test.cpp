#include "settings/StateText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "settings/Base64.h"

namespace bakwyn::settings {
namespace {

TEST(GeneralNumber, WritesTheShortestPlainForm) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {3, "3"},          {0, "0"},       {-0.0, "0"},         {999999, "999999"}, {-42, "-42"},
      {2.5, "2.5"},      {0.1, "0.1"},   {1e20, "1E20"},      {1.5e-7, "1.5E-7"}, {-2e100, "-2E100"},
      {123456789012345678.0, "1.23456789012346E17"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatGeneralNumber(c.value), c.text) << c.value;
}

TEST(Integer, AcceptsOnlyASignedDecimalInteger) {
  const struct {
    const char* text;
    int value;
  } good[] = {{"3", 3}, {"0", 0}, {"-7", -7}, {"+5", 5}, {"007", 7}, {"2147483647", 2147483647},
              {"-2147483648", -2147483647 - 1}};
  for (const auto& c : good) EXPECT_EQ(ParseInteger(c.text), c.value) << c.text;

  const char* bad[] = {"", " 3", "3 ", "3.0", "2.5", "abc", "2147483648", "--1", "+-1", "++1", "-", "+",
                       "0x10", "1e3", "五", "3;", "'3'"};
  for (const char* text : bad) {
    try {
      ParseInteger(text);
      ADD_FAILURE() << "'" << text << "' was read as an integer";
    } catch (const ConversionError& e) {
      EXPECT_EQ(std::string(e.what()), "'" + std::string(text) + "' is not a valid integer value");
    }
  }
}

TEST(Boolean, NumbersAndTheTwoWordsOnly) {
  const struct {
    const char* text;
    bool value;
  } good[] = {{"-1", true},   {"0", false},   {"5", true},     {"1", true},      {"0.0", false},
              {"-0", false},  {"0.5", true},  {"1e3", true},   {"1e999", true},  {"true", true},
              {"TRUE", true}, {"TrUe", true}, {"false", false}, {"FALSE", false}, {"+2", true}};
  for (const auto& c : good) EXPECT_EQ(ParseBoolean(c.text), c.value) << c.text;

  const char* bad[] = {"", "yes", "no", "on", " 0", "0 ", "1x", "nan", "inf", "0x1", "真", "truee", "--1", "."};
  for (const char* text : bad) {
    try {
      ParseBoolean(text);
      ADD_FAILURE() << "'" << text << "' was read as a boolean";
    } catch (const ConversionError& e) {
      EXPECT_EQ(std::string(e.what()), "'" + std::string(text) + "' is not a valid boolean value");
    }
  }
}

TEST(Base64, RoundTripsAnyBytesAndRejectsWhatItCannotHaveMade) {
  const struct {
    std::string bytes;
    const char* text;
  } known[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
               {"foo", "Zm9v"},  {"foobar", "Zm9vYmFy"}, {std::string("\0\xff\x10", 3), "AP8Q"},
               {"数据", "5pWw5o2u"}};
  for (const auto& c : known) {
    EXPECT_EQ(Base64Encode(c.bytes), c.text);
    EXPECT_EQ(Base64Decode(c.text), c.bytes) << c.text;
  }
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (size_t n = 0; n < all.size(); n += 37) EXPECT_EQ(Base64Decode(Base64Encode(all.substr(n))), all.substr(n));

  const char* bad[] = {"Zg", "Zm9", "Zg==Zg==", "Z===", "Zh==", "Zm9=", "Zm9v!mFy", "Zm 9v", "Zm9v\n", "=Zm9"};
  for (const char* text : bad) EXPECT_EQ(Base64Decode(text), std::nullopt) << text;
}

}  // namespace
}  // namespace bakwyn::settings
