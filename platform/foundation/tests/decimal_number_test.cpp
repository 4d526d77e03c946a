// Exact decimals: texts read and printed back, exact ordering across
// exponents, products, and where 38 significant digits stop.

#include "platform/decimal_number.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace {

using ns::DecimalNumber;

std::string described(std::string_view text, std::string_view locale = "en_US") {
    auto number = DecimalNumber::fromString(text, locale);
    return number ? number->description() : "nullopt";
}

TEST(DecimalNumber, ReadsTextsAndPrintsThemPlainly) {
    const struct {
        std::string text;
        std::string description;
    } cases[] = {
        {"12", "12"},           {"12.", "12"},          {".5", "0.5"},
        {"-.25", "-0.25"},      {"+3", "3"},            {"-0.0", "0"},
        {"0012.500", "12.5"},   {"1000", "1000"},       {"0.000001", "0.000001"},
        {"1e5", "100000"},      {"2.5E-3", "0.0025"},   {"-7e+2", "-700"},
        {"  42", "42"},         {"0e999999999", "0"},   {"1" + std::string(60, '0'), "1" + std::string(60, '0')},
        {"", "nullopt"},        {".", "nullopt"},       {"-", "nullopt"},
        {"1e", "nullopt"},      {"1.2.3", "nullopt"},   {"12abc", "nullopt"},
        {"1,5", "nullopt"},     {"42 ", "nullopt"},     {"abc", "nullopt"},
        {"1e200", "nullopt"},   {"1e-200", "nullopt"},  {"١٢", "nullopt"},
    };
    for (const auto& c : cases) EXPECT_EQ(described(c.text), c.description) << c.text;
}

TEST(DecimalNumber, ReadsTheLocalesDecimalSeparator) {
    EXPECT_EQ(described("1,5", "de_DE"), "1.5");
    EXPECT_EQ(described("1.5", "de_DE"), "nullopt");
    EXPECT_EQ(described("1.5", "xx_NOWHERE"), "1.5");
}

TEST(DecimalNumber, KeepsThirtyEightSignificantDigitsAndRoundsTheRest) {
    const std::string digits38 = "12345678901234567890123456789012345678";
    EXPECT_EQ(described(digits38), digits38);
    EXPECT_EQ(described("-0.000" + digits38), "-0.000" + digits38);
    // A 39th digit is lost: the description no longer matches the text.
    EXPECT_EQ(described(digits38 + "9"), "12345678901234567890123456789012345679" + std::string("0"));
    EXPECT_EQ(described(digits38 + "4"), digits38 + "0");
    EXPECT_EQ(described(std::string(39, '9')), "1" + std::string(39, '0'));
    // Zeros past the 38th digit lose nothing.
    EXPECT_EQ(described(digits38 + "000"), digits38 + "000");
}

TEST(DecimalNumber, ComparesExactlyAcrossExponents) {
    const struct {
        const char* a;
        const char* b;
        int order;
    } cases[] = {
        {"1", "1.0", 0},           {"5", "5.000", 0},        {"0.1", "0.10000000000000000001", -1},
        {"100", "99.999", 1},      {"-100", "-99.999", -1},  {"-0.5", "0", -1},
        {"0", "-0", 0},            {"1e3", "1000", 0},       {"123456789012345678901234567890123456.78", "1.2e35", 1},
        {"-1e-20", "1e-30", -1},   {"0.001", "0.0009", 1},
    };
    for (const auto& c : cases) {
        const auto a = *DecimalNumber::fromString(c.a);
        const auto b = *DecimalNumber::fromString(c.b);
        EXPECT_EQ(a.compare(b), c.order) << c.a << " vs " << c.b;
        EXPECT_EQ(b.compare(a), -c.order) << c.b << " vs " << c.a;
        EXPECT_EQ(a == b, c.order == 0) << c.a << " == " << c.b;
    }
}

TEST(DecimalNumber, MultipliesExactlyOrNotAtAll) {
    const auto minusOne = DecimalNumber::fromInt64(-1);
    for (const char* text : {"-0.25", "12", "0.000001", "-12345678901234567890123456789012345678"}) {
        const auto number = *DecimalNumber::fromString(text);
        const auto negated = number.multiply(minusOne);
        ASSERT_TRUE(negated) << text;
        EXPECT_EQ(negated->isNegative(), !number.isNegative()) << text;
        EXPECT_EQ(negated->multiply(minusOne)->description(), number.description()) << text;
    }
    const auto big = *DecimalNumber::fromString(std::string(20, '7'));
    EXPECT_FALSE(big.multiply(big));  // 40 digits
    // 2^100 x 5^50 = 2^50 x 10^50: wider than 128 bits until its zeros are shed.
    const auto twos = *DecimalNumber::fromString("1267650600228229401496703205376");
    const auto fives = *DecimalNumber::fromString("88817841970012523233890533447265625");
    EXPECT_EQ(twos.multiply(fives)->description(), "1125899906842624" + std::string(50, '0'));
    EXPECT_FALSE(DecimalNumber::fromString("1e100")->multiply(*DecimalNumber::fromString("1e100")));
}

TEST(DecimalNumber, ConvertsIntegersAndDoubles) {
    EXPECT_EQ(DecimalNumber::fromInt64(INT64_MIN).description(), "-9223372036854775808");
    EXPECT_EQ(DecimalNumber::fromInt64(0).description(), "0");
    EXPECT_EQ(DecimalNumber().compare(DecimalNumber::fromInt64(0)), 0);
    EXPECT_EQ(DecimalNumber::fromString("-0.25")->doubleValue(), -0.25);
    EXPECT_EQ(DecimalNumber::fromString("0.1")->doubleValue(), 0.1);
    EXPECT_EQ(DecimalNumber::fromString("1e100")->doubleValue(), 1e100);
}

}  // namespace
