#include "number.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace zorva {
namespace {

const std::uint8_t kSubkey[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                  17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

Dec dec(std::string_view text) {
  std::optional<Dec> d = Dec::parse(text);
  if (!d) throw std::runtime_error("bad test decimal: " + std::string(text));
  return *d;
}

std::string str(const Text& t) { return std::string(t.data(), t.size()); }
std::string str(const std::optional<Dec>& d) { return d ? str(d->toText()) : "none"; }

NumberStrategy strategy(std::optional<std::string_view> min, std::optional<std::string_view> max,
                        std::optional<std::string_view> variance = std::nullopt,
                        std::optional<std::uint32_t> decimals = std::nullopt) {
  auto made = NumberStrategy::make(min, max, variance, decimals);
  if (auto* error = std::get_if<Text>(&made)) throw std::runtime_error(str(*error));
  return std::get<NumberStrategy>(std::move(made));
}

std::string masked(const NumberResult& r) {
  switch (r.kind) {
    case NumberResult::Kind::Int: return "int " + str(r.integer.toDecimal());
    case NumberResult::Kind::Float: {
      std::ostringstream out;
      out.precision(17);
      out << "float " << r.real;
      return out.str();
    }
    case NumberResult::Kind::Decimal: return "decimal " + str(r.text);
    case NumberResult::Kind::Fallback: return "fallback";
  }
  return "?";
}

// --- Dec ---

TEST(DecTest, ParseTable) {
  struct Case {
    const char* text;
    const char* parsed;  // toText form
  };
  const Case cases[] = {
      {"1.50", "150E-2"}, {"-0", "-0E0"}, {".5", "5E-1"}, {"5.", "5E0"}, {"1.23E+5", "123E3"}, {"1e-05", "1E-5"},
      {"+007.0100", "70100E-4"}, {"0.000", "0E-3"}, {"12345678901234567890123.5", "123456789012345678901235E-1"},
      {"1e9223372036854775807", "1E9223372036854775807"}, {"1e-9223372036854775808", "1E-9223372036854775808"},
      {"1.5e-9223372036854775807", "15E-9223372036854775808"}};
  for (const Case& c : cases) EXPECT_EQ(str(Dec::parse(c.text)), c.parsed) << c.text;
  // "\xd9\xa1" is ARABIC-INDIC DIGIT ONE.
  for (const char* text : {"", ".", "+", "-", "e5", "1e", "1e+", "1e+-5", "1 ", " 1", "1_000", "NaN", "Infinity",
                           "1.2.3", "+-1", "--1", "1e9223372036854775808", "1.5e-9223372036854775808", "\xd9\xa1",
                           "1e\xd9\xa1"}) {
    EXPECT_FALSE(Dec::parse(text).has_value()) << text;
  }
}

TEST(DecTest, EdgeCases) {
  using std::strong_ordering;
  EXPECT_EQ(Dec::compare(dec("1.50"), dec("1.5")), strong_ordering::equal);
  EXPECT_EQ(Dec::compare(dec("0"), dec("-0.00")), strong_ordering::equal);
  EXPECT_EQ(Dec::compare(dec("-0"), dec("-1e-900")), strong_ordering::greater);
  EXPECT_EQ(Dec::compare(dec("1e-4294967295"), dec("1")), strong_ordering::less);
  EXPECT_EQ(Dec::compare(dec("-1e9223372036854775807"), dec("-1e-9223372036854775808")), strong_ordering::less);
  EXPECT_EQ(Dec::compare(dec("100000"), dec("99999.9999")), strong_ordering::greater);

  EXPECT_EQ(str(Dec::add(dec("1.5"), dec("-1.5"))), "0E-1");
  EXPECT_EQ(str(Dec::add(dec("-0"), dec("-0"))), "-0E0");
  EXPECT_EQ(str(Dec::add(dec("-0"), dec("0"))), "0E0");
  EXPECT_EQ(str(Dec::subtract(dec("-0"), dec("0e-3"))), "-0E-3");
  EXPECT_EQ(str(Dec::add(dec("1"), dec("1E-70"))), "1" + std::string(59, '0') + "E-59");
  EXPECT_EQ(str(Dec::rounded(Dec{BigInt::fromDecimal(std::string(61, '9')), 4, true})),
            "-1" + std::string(59, '0') + "E6");

  const char* modes[] = {"2E0", "3E0", "2E0", "-2E0", "-2E0", "-3E0"};
  for (int m = 0; m < 3; ++m) {
    EXPECT_EQ(str(Dec::quantize(dec("2.5"), 0, Rounding(m))), modes[m]);
    EXPECT_EQ(str(Dec::quantize(dec("-2.5"), 0, Rounding(m))), modes[m + 3]);
  }
  EXPECT_EQ(str(Dec::quantize(dec("1"), -60, Rounding::halfEven)), "none");
  EXPECT_EQ(str(Dec::quantize(dec("1"), -59, Rounding::halfEven)), "1" + std::string(59, '0') + "E-59");
  EXPECT_EQ(str(Dec::quantize(dec("-0.1"), 0, Rounding::halfEven)), "-0E0");

  EXPECT_EQ(str(Dec{BigInt(), 3, true}.toText()), "-0E3");
  EXPECT_EQ(str(dec("-1.9").toBigInt().toDecimal()), "-1");
  EXPECT_EQ(str(dec("-0.9").toBigInt().toDecimal()), "0");
  EXPECT_EQ(str(dec("12e3").toBigInt().toDecimal()), "12000");
  EXPECT_EQ(str(dec("5e-9223372036854775808").toBigInt().toDecimal()), "0");

  EXPECT_EQ(str(Dec::fromUnit(0).toText()), "0E-53");
  EXPECT_EQ(Dec::compare(Dec::fromUnit(std::uint64_t{1} << 52), dec("0.5")), strong_ordering::equal);
  EXPECT_EQ(str(Dec::fromUnit(1).toText()), "11102230246251565404236316680908203125E-53");  // 5^53
}

// Exponent arithmetic that leaves the signed 64-bit range is refused, and
// operands far apart never form a giant power.
TEST(DecTest, ExtremeExponents) {
  const std::string max = "9223372036854775807";
  const std::string min = "-9223372036854775808";
  const std::string sixtyOne = "1" + std::string(60, '0') + "1";
  auto start = std::chrono::steady_clock::now();

  EXPECT_EQ(str(Dec::multiply(dec("1e" + max), dec("1e1"))), "none");
  EXPECT_EQ(str(Dec::multiply(dec("1e" + min), dec("1e-1"))), "none");
  EXPECT_EQ(str(Dec::rounded(dec(sixtyOne + "e" + max))), "none");
  EXPECT_EQ(str(Dec::add(dec(sixtyOne + "e" + max), dec("0"))), "none");
  // Rounding up near the top: the carry's extra exponent step overflows.
  EXPECT_EQ(str(Dec::rounded(dec(std::string(61, '9') + "e9223372036854775806"))), "none");

  // Negligible operands: exact results without forming 10^gap.
  const std::string one60 = "1" + std::string(59, '0');
  EXPECT_EQ(str(Dec::add(dec("1"), dec("1e-1000000000000"))), one60 + "E-59");
  EXPECT_EQ(str(Dec::add(dec("1"), dec("-1e-1000000000000"))), one60 + "E-59");
  EXPECT_EQ(str(Dec::subtract(dec("-1e-1000000000000"), dec("1"))), "-" + one60 + "E-59");
  EXPECT_EQ(str(Dec::add(dec("1e" + max), dec("-1e" + min))), one60 + "E9223372036854775748");
  EXPECT_EQ(str(Dec::add(dec("0e" + max), dec("-7e" + min))), "-7E" + min);
  EXPECT_EQ(str(Dec::add(dec("25e-1000000000000"), dec("0e40"))), "25E-1000000000000");
  EXPECT_EQ(str(Dec::add(dec("3e999999999999"), dec("0"))), "3" + std::string(59, '0') + "E999999999940");
  // A 61-digit operand: the negligible one decides a tie by its sign alone.
  const std::string tie = "1" + std::string(59, '0') + "5";
  EXPECT_EQ(str(Dec::add(dec(tie), dec("1e-99999999"))), "1" + std::string(58, '0') + "1E1");
  EXPECT_EQ(str(Dec::add(dec(tie), dec("-1e-99999999"))), "1" + std::string(59, '0') + "E1");
  EXPECT_EQ(str(Dec::add(dec(tie), dec("0e-99999999"))), "1" + std::string(59, '0') + "E1");
  // Neither negligible nor small enough to align: refused.
  const std::string long900 = "7" + std::string(899, '3');
  EXPECT_EQ(str(Dec::add(dec(long900 + "e5000000000"), dec("1"))), "none");
  EXPECT_EQ(str(Dec::add(dec("1e5000000000"), dec(long900))), one60 + "E4999999941");

  // quantize decides refusals from digit counts; zero never forms a power.
  EXPECT_EQ(str(Dec::quantize(dec("1e" + max), -4294967295, Rounding::halfEven)), "none");
  EXPECT_EQ(str(Dec::quantize(dec("1e" + max), std::numeric_limits<std::int64_t>::min(), Rounding::floor)),
            "none");
  EXPECT_EQ(str(Dec::quantize(dec("-0e" + max), std::numeric_limits<std::int64_t>::min(), Rounding::floor)),
            "-0E" + min);
  EXPECT_EQ(str(Dec::quantize(dec("1e" + min), std::numeric_limits<std::int64_t>::max(), Rounding::halfEven)),
            "0E" + max);
  EXPECT_EQ(str(Dec::quantize(dec("1e" + min), std::numeric_limits<std::int64_t>::max(), Rounding::ceiling)),
            "1E" + max);
  EXPECT_EQ(str(Dec::quantize(dec("-1e" + min), std::numeric_limits<std::int64_t>::max(), Rounding::floor)),
            "-1E" + max);

  EXPECT_EQ(dec("1e" + max).toF64(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(dec("-1e" + max).toF64(), -std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::signbit(dec("-1e" + min).toF64()));
  EXPECT_EQ(dec("1e" + min).toF64(), 0.0);

  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Random cases whose expected results come from Python's decimal module
// (core/testdata/number_cases.py).
TEST(DecTest, AgreesWithPythonDecimal) {
  auto path = std::filesystem::path(__FILE__).parent_path().parent_path() / "testdata" / "number_cases.txt";
  std::ifstream in(path);
  ASSERT_TRUE(in) << path;
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::stringstream fields(line);
    for (std::string part; std::getline(fields, part, '|');) f.push_back(part);
    const std::string& op = f[0];
    std::string got;
    std::string want = f.back();
    if (op == "add") {
      got = str(Dec::add(dec(f[1]), dec(f[2])));
    } else if (op == "subtract") {
      got = str(Dec::subtract(dec(f[1]), dec(f[2])));
    } else if (op == "rounded") {
      got = str(Dec::rounded(dec(f[1])));
    } else if (op == "compare") {
      auto c = Dec::compare(dec(f[1]), dec(f[2]));
      got = c == std::strong_ordering::less ? "-1" : c == std::strong_ordering::equal ? "0" : "1";
    } else if (op == "quantize") {
      got = str(Dec::quantize(dec(f[1]), std::stoll(f[2]), Rounding(std::stoi(f[3]))));
    } else if (op == "f64") {
      double expected = std::strtod(want.c_str(), nullptr);
      double actual = dec(f[1]).toF64();
      EXPECT_EQ(std::memcmp(&expected, &actual, sizeof(double)), 0) << line << " got " << actual;
      ++count;
      continue;
    } else if (op == "int") {
      got = str(dec(f[1]).toBigInt().toDecimal());
    } else {
      FAIL() << "unknown line: " << line;
    }
    EXPECT_EQ(got, want) << line;
    ++count;
  }
  EXPECT_GT(count, 3000);
}

// --- NumberStrategy ---

TEST(NumberStrategyTest, ConstructionErrors) {
  struct Case {
    std::optional<std::string_view> min, max, variance;
    const char* message;  // empty: builds
  };
  const Case cases[] = {
      {"1", std::nullopt, std::nullopt, "number needs both min and max, or neither"},
      {std::nullopt, "1", "x", "number needs both min and max, or neither"},
      {"10 ", "20", std::nullopt, "number min is not a finite decimal: \"10 \""},
      {"10", "2\"0\\", std::nullopt, "number max is not a finite decimal: \"2\\\"0\\\\\""},
      {"1", "2", "0.1\t\x1b", "number variance is not a finite decimal: \"0.1\\t\\u{1b}\""},
      {std::nullopt, std::nullopt, "1.5e-9223372036854775808",
       "number variance is not a finite decimal: \"1.5e-9223372036854775808\""},
      {"-inf", "1", std::nullopt, "number min is not a finite decimal: \"-inf\""},
      {std::nullopt, std::nullopt, std::nullopt, ""},
      {"1e9223372036854775807", "-1e-9223372036854775808", "-3", ""},
  };
  for (const Case& c : cases) {
    auto made = NumberStrategy::make(c.min, c.max, c.variance, std::nullopt);
    if (*c.message == '\0') {
      EXPECT_TRUE(std::holds_alternative<NumberStrategy>(made)) << c.message;
    } else {
      ASSERT_TRUE(std::holds_alternative<Text>(made)) << c.message;
      EXPECT_EQ(str(std::get<Text>(made)), c.message);
    }
  }
}

TEST(NumberStrategyTest, HashData) {
  struct Case {
    const char* value;
    const char* floatRepr;  // null for a decimal
    const char* data;       // "none": not masked
  };
  const Case cases[] = {
      {"5", nullptr, "5"},
      {"5.00", nullptr, "5"},
      {"5.0", "5.0", "5"},
      {"-0.0", "-0.0", "0"},
      {"-0E+5", nullptr, "0"},
      {"1e+23", "1e+23", "100000000000000000000000"},
      {"-12.5E+1", nullptr, "-125"},
      {"1.50", nullptr, "1.5"},
      {"-0.00123", nullptr, "-0.00123"},
      {"1.5E-5", nullptr, "0.000015"},
      {"123.4500", nullptr, "123.45"},
      {"0.1", "0.1", "0.1"},
      {"1e-05", "1e-05", "1e-05"},
      {"1.234567890123456789012345678", nullptr, "1.234567890123456789012345678"},
      {"1.2345678901234567890123456789", nullptr, "none"},
      {"12345678901234567890123456789E-300", nullptr, "none"},
      {"1234567890123456789012345678.90", nullptr, "none"},
      {"123456789012345678901234567.80", nullptr, "123456789012345678901234567.8"},
  };
  for (const Case& c : cases) {
    std::optional<std::string_view> repr;
    if (c.floatRepr != nullptr) repr = c.floatRepr;
    std::optional<Text> data = NumberStrategy::hashData(dec(c.value), repr);
    EXPECT_EQ(data ? str(*data) : "none", c.data) << c.value;
  }
}

// Expected values from the slow model in core/testdata/number_cases.py (--model):
// Python's decimal with 60 digits and hmac over the layout, subkey 1..32.
TEST(NumberStrategyTest, AgreesWithSlowModel) {
  KeyedHash kh(kSubkey);
  auto relative = strategy(std::nullopt, std::nullopt);
  EXPECT_EQ(str(relative.target(dec("5"), kh, "5")), "4693721463339507016243601356109138578176498413085937500E-54");
  EXPECT_EQ(masked(relative.maskInteger(kh, BigInt::fromU64(5))), "int 4");
  EXPECT_EQ(masked(relative.maskDecimal(kh, "1.50")), "decimal 157E-2");
  auto half = strategy(std::nullopt, std::nullopt, "0.5");
  EXPECT_EQ(str(half.target(dec("-123456789"), kh, "-123456789")),
            "-834128477864684380314084233276616942021064460277557373046875E-52");
  EXPECT_EQ(masked(half.maskInteger(kh, BigInt::fromI64(-123456789))), "int -83412848");
  auto bounded = strategy("10", "20");
  EXPECT_EQ(str(bounded.target(dec("77"), kh, "77")), "1132481483118370269025376728677656501531600952148437500E-53");
  EXPECT_EQ(masked(bounded.maskInteger(kh, BigInt::fromU64(77))), "int 11");
  auto wide = strategy(std::nullopt, std::nullopt, "2", 4);
  EXPECT_EQ(masked(wide.maskDecimal(kh, "-0.00321")), "decimal -43E-4");
  auto skewed = strategy("-5.5", "1E+3", std::nullopt, 2);
  EXPECT_EQ(str(skewed.target(dec("12.345"), kh, "12.345")),
            "481688336953920980987309263809947879053652286529541015625E-54");
  EXPECT_EQ(masked(skewed.maskDecimal(kh, "12.345")), "decimal 48169E-2");
  auto three = strategy(std::nullopt, std::nullopt, std::nullopt, 3);
  EXPECT_EQ(masked(three.maskFloat(kh, 0.1, "0.1")), "float 0.098000000000000004");
  EXPECT_EQ(masked(relative.maskFloat(kh, 1e23, "1e+23")), "float 9.2166095884475718e+22");
}

TEST(NumberStrategyTest, ZeroAndKinds) {
  KeyedHash kh(kSubkey);
  auto relative = strategy(std::nullopt, std::nullopt);
  EXPECT_EQ(masked(relative.maskInteger(kh, BigInt())), "int 0");
  // A zero decimal result is a fallback.
  EXPECT_EQ(masked(relative.maskDecimal(kh, "0.00")), "fallback");
  EXPECT_EQ(masked(relative.maskDecimal(kh, "-0")), "fallback");

  // 5, 5.0 and 5.00 share their hash data, hence their target.
  auto t5 = relative.target(dec("5"), kh, *NumberStrategy::hashData(dec("5"), std::nullopt));
  auto t50 = relative.target(dec("5.0"), kh, *NumberStrategy::hashData(dec("5.0"), "5.0"));
  auto t500 = relative.target(dec("5.00"), kh, *NumberStrategy::hashData(dec("5.00"), std::nullopt));
  EXPECT_EQ(Dec::compare(*t5, *t50), std::strong_ordering::equal);
  EXPECT_EQ(Dec::compare(*t5, *t500), std::strong_ordering::equal);
  EXPECT_EQ(masked(relative.maskFloat(kh, 5.0, "5.0")), "float " + [&] {
    std::ostringstream out;
    out.precision(17);
    out << t5->toF64();
    return out.str();
  }());
  std::string d500 = masked(relative.maskDecimal(kh, "5.00"));
  EXPECT_EQ(d500.substr(d500.size() - 3), "E-2") << d500;

  auto bounded = strategy("-3", "7");
  for (int v : {0, 1, -1000, 1000}) {
    NumberResult r = bounded.maskInteger(kh, BigInt::fromI64(v));
    ASSERT_EQ(r.kind, NumberResult::Kind::Int);
    std::int64_t x = *r.integer.toI64();
    EXPECT_TRUE(x >= -3 && x <= 7) << x;
  }
}

TEST(NumberStrategyTest, Fallbacks) {
  KeyedHash kh(kSubkey);
  auto s = strategy(std::nullopt, std::nullopt, std::nullopt, 2);
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(masked(s.maskFloat(kh, inf, "inf")), "fallback");
  EXPECT_EQ(masked(s.maskFloat(kh, -inf, "-inf")), "fallback");
  EXPECT_EQ(masked(s.maskFloat(kh, std::nan(""), "nan")), "fallback");
  EXPECT_EQ(masked(s.maskFloat(kh, 0.0, "0.0")), "fallback");
  EXPECT_EQ(masked(s.maskFloat(kh, -0.0, "-0.0")), "fallback");
  for (const char* text : {"NaN", "-NaN", "sNaN", "Infinity", "-Infinity", "", "1e", "1e401", "1e-401",
                           "123456789012345678901234567890123456789"}) {
    EXPECT_EQ(masked(s.maskDecimal(kh, text)), "fallback") << text;
  }
  auto plain = strategy(std::nullopt, std::nullopt);
  EXPECT_NE(masked(plain.maskDecimal(kh, "7e-400")), "fallback");
  EXPECT_EQ(masked(plain.maskDecimal(kh, "1e400")), "fallback");  // 401 digits after quantizing
  EXPECT_NE(masked(s.maskDecimal(kh, "12345678901234567890123456789012345678")), "fallback");
  // Floats: tiny values quantized to two places become zero.
  EXPECT_EQ(masked(s.maskFloat(kh, 1e-300, "1e-300")), "fallback");
  EXPECT_EQ(masked(strategy(std::nullopt, std::nullopt).maskFloat(kh, 1e308, "1e+308")).substr(0, 5), "float");
  EXPECT_EQ(masked(strategy(std::nullopt, std::nullopt, "100").maskFloat(kh, 1e308, "1e+308")), "fallback");

  BigInt d38 = BigInt::fromDecimal(std::string(38, '9'));
  BigInt d39 = BigInt::fromDecimal("1" + std::string(38, '0'));
  EXPECT_EQ(s.maskInteger(kh, d38).kind, NumberResult::Kind::Int);
  EXPECT_EQ(s.maskInteger(kh, d38.negated()).kind, NumberResult::Kind::Int);
  EXPECT_EQ(masked(s.maskInteger(kh, d39)), "fallback");
  EXPECT_EQ(masked(s.maskInteger(kh, d39.negated())), "fallback");

  // Non-integral decimal beyond 28 significant digits.
  EXPECT_EQ(masked(s.maskDecimal(kh, "1.2345678901234567890123456789")), "fallback");
  // Quantizing to 60 places refuses every nonzero value but not zero.
  auto fine = strategy(std::nullopt, std::nullopt, std::nullopt, 60);
  EXPECT_EQ(masked(fine.maskDecimal(kh, "123.5")), "fallback");
}

// Bounds, variance and decimals at the extremes: always answered, and fast.
TEST(NumberStrategyTest, ExtremeOptions) {
  KeyedHash kh(kSubkey);
  auto start = std::chrono::steady_clock::now();
  auto hugeRange = strategy("0", "1e999999999999");
  EXPECT_EQ(masked(hugeRange.maskInteger(kh, BigInt::fromU64(5))), "fallback");
  EXPECT_EQ(masked(hugeRange.maskDecimal(kh, "5")), "fallback");
  std::string big = masked(hugeRange.maskFloat(kh, 5.0, "5.0"));
  EXPECT_EQ(big, "fallback");  // beyond any double

  auto manyPlaces = strategy(std::nullopt, std::nullopt, std::nullopt, 4294967295u);
  EXPECT_EQ(masked(manyPlaces.maskDecimal(kh, "1.5")), "fallback");
  EXPECT_EQ(masked(manyPlaces.maskDecimal(kh, "0.0")), "fallback");
  EXPECT_EQ(masked(manyPlaces.maskFloat(kh, 1.5, "1.5")), "fallback");

  // A negligible variance: the target rounds back to the value, which moves by one step.
  auto tiny = strategy(std::nullopt, std::nullopt, "1e-999999999999");
  std::string r = masked(tiny.maskInteger(kh, BigInt::fromU64(1000)));
  EXPECT_TRUE(r == "int 999" || r == "int 1001") << r;
  r = masked(tiny.maskDecimal(kh, "2.50"));
  EXPECT_TRUE(r == "decimal 249E-2" || r == "decimal 251E-2") << r;

  // A range whose exponent arithmetic overflows makes every value a fallback.
  auto overflow = strategy("-" + std::string(61, '7') + "e9223372036854775807", "1e9223372036854775807");
  EXPECT_EQ(masked(overflow.maskInteger(kh, BigInt::fromU64(1))), "fallback");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(NumberStrategyTest, BoundedGrid) {
  KeyedHash kh(kSubkey);
  auto tens = strategy("10", "20", std::nullopt, 0);
  auto narrow = strategy("10.2", "10.8", std::nullopt, 0);
  for (int i = 0; i < 300; ++i) {
    std::string v = std::to_string(i * 37 - 4000) + ".25";
    NumberResult r = tens.maskDecimal(kh, v);
    ASSERT_EQ(r.kind, NumberResult::Kind::Decimal) << v;
    std::optional<Dec> d = Dec::parse(r.text);
    ASSERT_TRUE(d && d->exponent == 0) << str(r.text);
    EXPECT_TRUE(Dec::compare(*d, dec("10")) >= 0 && Dec::compare(*d, dec("20")) <= 0) << str(r.text);
    NumberResult f = tens.maskFloat(kh, i + 0.5, std::to_string(i) + ".5");
    ASSERT_EQ(f.kind, NumberResult::Kind::Float);
    EXPECT_TRUE(f.real >= 10 && f.real <= 20 && f.real == std::floor(f.real)) << f.real;
    EXPECT_EQ(masked(narrow.maskDecimal(kh, v)), "decimal 10E0");
    EXPECT_EQ(masked(narrow.maskFloat(kh, i + 0.5, std::to_string(i) + ".5")), "float 10");
  }
}

// In relative mode a nonzero value never comes back unchanged.
TEST(NumberStrategyTest, RelativeNeverEqual) {
  KeyedHash kh(kSubkey);
  auto s = strategy(std::nullopt, std::nullopt);
  auto places = strategy(std::nullopt, std::nullopt, "0.3", 1);
  int movedInts = 0;
  for (int v = -600; v <= 600; ++v) {
    if (v == 0) continue;
    NumberResult r = s.maskInteger(kh, BigInt::fromI64(v));
    ASSERT_EQ(r.kind, NumberResult::Kind::Int);
    std::int64_t x = *r.integer.toI64();
    EXPECT_NE(x, v);
    if (x == v + 1 || x == v - 1) ++movedInts;
    std::string text = std::to_string(v) + "." + std::to_string(((v * 7) % 10 + 10) % 10);
    NumberResult d = places.maskDecimal(kh, text);
    ASSERT_EQ(d.kind, NumberResult::Kind::Decimal) << text;
    EXPECT_NE(Dec::compare(dec(d.text), dec(text)), std::strong_ordering::equal) << text;
  }
  EXPECT_GT(movedInts, 10);  // small values often round back and are moved
}

// The 512-bit path and the BigInt path agree, also where values, bounds and
// products approach or pass 512 bits.
TEST(NumberStrategyTest, MachinePathMatchesBigInt) {
  KeyedHash kh(kSubkey);
  std::mt19937_64 rng(7);
  auto digits = [&](int n) {
    std::string out(1, static_cast<char>('1' + rng() % 9));
    for (int i = 1; i < n; ++i) out.push_back(static_cast<char>('0' + rng() % 10));
    return out;
  };
  const std::vector<std::array<std::optional<std::string>, 3>> settings = {
      {std::nullopt, std::nullopt, std::nullopt},
      {std::nullopt, std::nullopt, "0.5"},
      {std::nullopt, std::nullopt, "123456789012345678901234567890123456789012345678901234567890123"},
      {std::nullopt, std::nullopt, "3e-70"},
      {"-1000", "250000", std::nullopt},
      {"0.01", "99999.99", std::nullopt},
      {"-9" + std::string(70, '9'), "9" + std::string(75, '0') + ".5", std::nullopt},
      {"1e-80", "2e-80", std::nullopt},
      {"-1" + std::string(100, '0') + "e-60", "7" + std::string(110, '3') + "e-90", std::nullopt},
  };
  int compared = 0;
  for (const auto& [min, max, variance] : settings) {
    for (std::optional<std::uint32_t> decimals : {std::optional<std::uint32_t>(), std::optional<std::uint32_t>(0),
                                                  std::optional<std::uint32_t>(3),
                                                  std::optional<std::uint32_t>(90)}) {
      auto opt = [](const std::optional<std::string>& s) {
        return s ? std::optional<std::string_view>(*s) : std::nullopt;
      };
      NumberStrategy fast = strategy(opt(min), opt(max), opt(variance), decimals);
      NumberStrategy exact = fast.exactOnlyForTesting();
      for (int i = 0; i < 60; ++i) {
        std::string intText = digits(1 + static_cast<int>(rng() % 38));
        BigInt integer = BigInt::fromDecimal(intText, rng() % 2 == 0);
        EXPECT_EQ(masked(fast.maskInteger(kh, integer)), masked(exact.maskInteger(kh, integer))) << intText;
        std::string decText = (rng() % 2 ? "-" : "") + digits(1 + static_cast<int>(rng() % 38)) + "E" +
                              std::to_string(static_cast<int>(rng() % 120) - 80);
        EXPECT_EQ(masked(fast.maskDecimal(kh, decText)), masked(exact.maskDecimal(kh, decText))) << decText;
        double real = std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 200) - 120);
        std::ostringstream repr;
        repr.precision(17);
        repr << real;
        EXPECT_EQ(masked(fast.maskFloat(kh, real, repr.str())), masked(exact.maskFloat(kh, real, repr.str())))
            << repr.str();
        compared += 3;
      }
    }
  }
  EXPECT_EQ(compared, 9 * 4 * 180);
}

// Random settings and values of the common sizes (short values, short
// variances, bounds of up to 25 digits) agree with the BigInt path. The
// relative target rounds its final product often, with exact ties among
// them (2u - 2^53 is even), so a wrong rounding shows here.
TEST(NumberStrategyTest, ShortPathMatchesBigInt) {
  KeyedHash kh(kSubkey);
  std::mt19937_64 rng(20261206);
  auto pick = [&](std::uint64_t n) { return rng() % n; };
  auto digits = [&](std::uint64_t n) {
    std::string out(1, static_cast<char>('1' + pick(9)));
    for (std::uint64_t i = 1; i < n; ++i) out.push_back(static_cast<char>('0' + pick(10)));
    return out;
  };
  auto signed_ = [&](std::string text) { return pick(2) ? "-" + text : text; };
  auto withExponent = [&](std::string text, int lo, int hi) {
    return text + "E" + std::to_string(lo + static_cast<int>(pick(static_cast<std::uint64_t>(hi - lo + 1))));
  };
  int compared = 0;
  int ints = 0;
  for (int round = 0; round < 400; ++round) {
    std::optional<std::string> min, max, variance;
    if (pick(2) == 0) {
      // Variances mostly of up to 7 digits with exponents around [-6, 52].
      switch (pick(6)) {
        case 0: break;  // default 0.1
        case 5: {
          // Edges of the short path: 1 + m near 10^60, 7 and 8 digits, the
          // exponent limits.
          static const char* const edges[] = {"9.999999",  "-9.999999", "9999999E-6", "9000001E-6", "8999999E-6",
                                              "1.0000000", "99999999E-6", "1E-6",     "1E-7",       "9999999E52",
                                              "-1E52",     "1E53",        "0E-6",     "5E-1",       "-0.1"};
          variance = edges[pick(std::size(edges))];
          break;
        }
        case 1: variance = pick(4) == 0 ? "0" : signed_(withExponent(digits(1 + pick(8)), -9, 55)); break;
        default: variance = withExponent(digits(1 + pick(7)), -7, 3); break;
      }
    } else {
      const int spread = static_cast<int>(pick(30));
      min = signed_(withExponent(digits(1 + pick(25)), -12, spread - 8));
      max = signed_(withExponent(digits(1 + pick(25)), -12, spread - 8));
      if (pick(4) != 0 && Dec::compare(dec(*max), dec(*min)) == std::strong_ordering::less) std::swap(min, max);
    }
    std::optional<std::uint32_t> decimals;
    if (pick(3) != 0) decimals = static_cast<std::uint32_t>(pick(4) == 0 ? 20 : pick(7));
    auto opt = [](const std::optional<std::string>& s) {
      return s ? std::optional<std::string_view>(*s) : std::nullopt;
    };
    NumberStrategy fast = strategy(opt(min), opt(max), opt(variance), decimals);
    NumberStrategy exact = fast.exactOnlyForTesting();
    const std::string where = "min " + min.value_or("-") + " max " + max.value_or("-") + " variance " +
                              variance.value_or("-") + " decimals " +
                              (decimals ? std::to_string(*decimals) : std::string("-"));
    for (int i = 0; i < 25; ++i) {
      std::string intText = pick(20) == 0 ? "0" : digits(1 + pick(20));
      BigInt integer = BigInt::fromDecimal(intText, pick(2) == 0);
      NumberResult a = fast.maskInteger(kh, integer);
      ints += a.kind == NumberResult::Kind::Int;
      EXPECT_EQ(masked(a), masked(exact.maskInteger(kh, integer))) << intText << " " << where;
      std::string decText = signed_(withExponent(pick(20) == 0 ? "0" : digits(1 + pick(20)), -25, 10));
      EXPECT_EQ(masked(fast.maskDecimal(kh, decText)), masked(exact.maskDecimal(kh, decText)))
          << decText << " " << where;
      double real = std::ldexp(static_cast<double>(rng() >> (11 + pick(40))), static_cast<int>(pick(100)) - 60);
      if (pick(2)) real = -real;
      std::ostringstream repr;
      repr.precision(1 + static_cast<int>(pick(17)));
      repr << real;
      const double shown = std::stod(repr.str());
      EXPECT_EQ(masked(fast.maskFloat(kh, shown, repr.str())), masked(exact.maskFloat(kh, shown, repr.str())))
          << repr.str() << " " << where;
      // The unquantized target itself, all of its digits.
      const Dec value = dec(decText);
      EXPECT_EQ(str(fast.targetForTesting(value, kh, decText)), str(exact.target(value, kh, decText)))
          << decText << " " << where;
      compared += 4;
    }
  }
  EXPECT_EQ(compared, 400 * 25 * 4);
  EXPECT_GT(ints, 5000);  // most values are masked, not fallbacks
}

}  // namespace
}  // namespace zorva
