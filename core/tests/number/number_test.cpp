// Dec and NumberStrategy: exact arithmetic, rounding, and the machine-integer path against the BigInt one.
#include "number/number.h"
#include "number/testing.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace zorva {
namespace {

const std::uint8_t kSubkey[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                  17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const KeyedHash& kh() {
  static const KeyedHash hash(kSubkey);
  return hash;
}

// Table shorthand: "c{n}" is the character c n times.
std::string expand(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '{') {
      out += text[i];
      continue;
    }
    const std::size_t end = text.find('}', i);
    out.append(std::stoul(std::string(text.substr(i + 1, end - i - 1))) - 1, out.back());
    i = end;
  }
  return out;
}

Dec dec(std::string_view text) {
  const std::optional<Dec> d = Dec::parse(text);
  return d ? *d : throw std::runtime_error("bad test decimal: " + std::string(text));
}
std::string str(const Text& t) { return std::string(t.data(), t.size()); }
std::string str(const std::optional<Dec>& d) { return d ? str(d->toText()) : "none"; }
std::string show(double x) {
  std::ostringstream out;
  out.precision(17);
  out << x;
  return out.str();
}
std::optional<std::string_view> opt(const std::optional<std::string>& s) {
  return s ? std::optional<std::string_view>(*s) : std::nullopt;
}

NumberStrategy strategy(std::optional<std::string> min, std::optional<std::string> max,
                        std::optional<std::string> variance = std::nullopt,
                        std::optional<std::uint32_t> decimals = std::nullopt) {
  auto made = NumberStrategy::make(opt(min), opt(max), opt(variance), decimals);
  if (auto* error = std::get_if<Text>(&made)) throw std::runtime_error(str(*error));
  return std::get<NumberStrategy>(std::move(made));
}

std::string masked(const NumberResult& r) {
  switch (r.kind) {
    case NumberResult::Kind::Int: return "int " + str(r.integer.toDecimal());
    case NumberResult::Kind::Float: return "float " + show(r.real);
    case NumberResult::Kind::Decimal:
      if (r.hasNumber) return "decimal " + str(Dec{BigInt::fromU128(r.coefficient), r.exponent, r.negative}.toText());
      return "decimal " + str(r.text);
    case NumberResult::Kind::Fallback: return "fallback";
  }
  return "?";
}

// One case "op|operands|expected" on exact decimals: "none" is a refusal, f64
// results compare bit for bit. Returns what the engine gives and what is expected.
std::pair<std::string, std::string> evaluate(const std::string& line) {
  std::vector<std::string> f;
  std::stringstream fields(line);
  for (std::string part; std::getline(fields, part, '|');) f.push_back(expand(part));
  const std::string& op = f[0];
  auto bits = [](double x) { return std::to_string(std::bit_cast<std::uint64_t>(x)); };
  if (op == "add") return {str(Dec::add(dec(f[1]), dec(f[2]))), f[3]};
  if (op == "subtract") return {str(Dec::subtract(dec(f[1]), dec(f[2]))), f[3]};
  if (op == "multiply") return {str(Dec::multiply(dec(f[1]), dec(f[2]))), f[3]};
  if (op == "rounded") return {str(Dec::rounded(dec(f[1]))), f[2]};
  if (op == "quantize") return {str(Dec::quantize(dec(f[1]), std::stoll(f[2]), Rounding(std::stoi(f[3])))), f[4]};
  if (op == "int") return {str(dec(f[1]).toBigInt().toDecimal()), f[2]};
  if (op == "f64") return {bits(dec(f[1]).toF64()), bits(std::strtod(f[2].c_str(), nullptr))};
  if (op == "unit") return {str(NumberStrategyTestPeer::unit(std::stoull(f[1])).toText()), f[2]};
  if (op == "compare") {
    const auto c = Dec::compare(dec(f[1]), dec(f[2]));
    return {c < 0 ? "-1" : c == 0 ? "0" : "1", f[3]};
  }
  return {"unknown line", line};
}

// Random cases whose expected results come from Python's decimal module
// (core/testdata/number_cases.py).
TEST(DecTest, AgreesWithPythonDecimal) {
  auto path =
      std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "testdata" / "number_cases.txt";
  std::ifstream in(path);
  ASSERT_TRUE(in) << path;
  int count = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    auto [got, want] = evaluate(line);
    EXPECT_EQ(got, want) << line;
    ++count;
  }
  EXPECT_GT(count, 3000);
}

// Signed zeros and the 60-digit limit; then exponent
// arithmetic that would leave the signed 64-bit range (refused), and operands
// far apart that must never form a giant power (answered fast). Modes: 0
// half-even, 1 ceiling, 2 floor.
TEST(DecTest, EdgesAndExtremeExponents) {
  const char* const cases[] = {
      "compare|0|-0.00|0", "compare|-0|-1e-900|1", "compare|1e-4294967295|1|-1",
      "compare|-1e9223372036854775807|-1e-9223372036854775808|-1", "add|-0|-0|-0E0", "add|-0|0|0E0",
      "subtract|-0|0e-3|-0E-3", "add|1|1E-70|10{59}E-59", "rounded|-9{61}e4|-10{59}E6", "quantize|1|-60|0|none",
      "quantize|1|-59|0|10{59}E-59", "quantize|-0.1|0|0|-0E0", "int|5e-9223372036854775808|0", "unit|0|0E-53",
      "unit|1|11102230246251565404236316680908203125E-53", "multiply|1e9223372036854775807|1e1|none",
      "multiply|1e-9223372036854775808|1e-1|none", "rounded|10{60}1e9223372036854775807|none",
      "add|10{60}1e9223372036854775807|0|none",
      "rounded|9{61}e9223372036854775806|none",  // the carry's extra exponent step overflows
      "add|1|1e-1000000000000|10{59}E-59", "add|1|-1e-1000000000000|10{59}E-59",
      "subtract|-1e-1000000000000|1|-10{59}E-59",
      "add|1e9223372036854775807|-1e-9223372036854775808|10{59}E9223372036854775748",
      "add|0e9223372036854775807|-7e-9223372036854775808|-7E-9223372036854775808",
      "add|25e-1000000000000|0e40|25E-1000000000000", "add|3e999999999999|0|30{59}E999999999940",
      // A 61-digit operand: the negligible one decides a tie by its sign alone.
      "add|10{59}5|1e-99999999|10{58}1E1", "add|10{59}5|-1e-99999999|10{59}E1", "add|10{59}5|0e-99999999|10{59}E1",
      // Neither negligible nor small enough to align: refused.
      "add|73{899}e5000000000|1|none", "add|1e5000000000|73{899}|10{59}E4999999941",
      // quantize decides refusals from digit counts; zero never forms a power.
      "quantize|1e9223372036854775807|-4294967295|0|none", "quantize|1e9223372036854775807|-9223372036854775808|2|none",
      "quantize|-0e9223372036854775807|-9223372036854775808|2|-0E-9223372036854775808",
      "quantize|1e-9223372036854775808|9223372036854775807|0|0E9223372036854775807",
      "quantize|1e-9223372036854775808|9223372036854775807|1|1E9223372036854775807",
      "quantize|-1e-9223372036854775808|9223372036854775807|2|-1E9223372036854775807", "f64|1e9223372036854775807|inf",
      "f64|-1e9223372036854775807|-inf", "f64|-1e-9223372036854775808|-0.0", "f64|1e-9223372036854775808|0.0"};
  const auto start = std::chrono::steady_clock::now();
  for (const char* line : cases) {
    auto [got, want] = evaluate(line);
    EXPECT_EQ(got, want) << line;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// The integer text when integral, else a float's repr, else the plain decimal
// text; more than 28 significant digits are not masked ("none").
TEST(NumberStrategyTest, HashData) {
  const struct {
    const char *value, *floatRepr, *data;  // floatRepr null for a decimal
  } cases[] = {
      {"5", nullptr, "5"},
      {"5.00", nullptr, "5"},
      {"5.0", "5.0", "5"},
      {"-0.0", "-0.0", "0"},
      {"-0E+5", nullptr, "0"},
      {"1e+23", "1e+23", "1{1}0{23}"},
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
  for (const auto& c : cases) {
    const auto data = NumberStrategy::hashData(
        dec(c.value), c.floatRepr ? std::optional<std::string_view>(c.floatRepr) : std::nullopt);
    EXPECT_EQ(data ? str(*data) : "none", expand(c.data)) << c.value;
  }
}

// Masked values and targets per setting, for each value of a '|' list. Exact
// values come from the slow model of core/testdata/number_cases.py --model.
// "x*" matches any text that starts with x, "a|b" either. Settings at the
// extremes are answered, and fast.
TEST(NumberStrategyTest, MaskedValuesPerSetting) {
  const std::optional<std::string> _;
  const struct {
    std::optional<std::string> min, max, variance, decimals;
    char kind;  // i(nteger), d(ecimal), f(loat) or t(arget)
    const char *values, *expected;
  } cases[] = {
      {_, _, _, _, 't', "5", "4693721463339507016243601356109138578176498413085937500E-54"},
      {_, _, _, _, 'i', "5", "int 4"},
      {_, _, _, _, 'd', "1.50", "decimal 157E-2"},
      {_, _, "0.5", _, 't', "-123456789", "-834128477864684380314084233276616942021064460277557373046875E-52"},
      {_, _, "0.5", _, 'i', "-123456789", "int -83412848"},
      {"10", "20", _, _, 't', "77", "1132481483118370269025376728677656501531600952148437500E-53"},
      {"10", "20", _, _, 'i', "77", "int 11"},
      {_, _, "2", "4", 'd', "-0.00321", "decimal -43E-4"},
      {"-5.5", "1E+3", _, "2", 't', "12.345", "481688336953920980987309263809947879053652286529541015625E-54"},
      {"-5.5", "1E+3", _, "2", 'd', "12.345", "decimal 48169E-2"},
      {_, _, _, "3", 'f', "0.1", "float 0.098000000000000004"},
      {_, _, _, _, 'f', "1e+23", "float 9.2166095884475718e+22"},
      // Zero integers stay zero; zero decimals and values not masked natively are fallbacks.
      {_, _, _, _, 'i', "0", "int 0"},
      {_, _, _, _, 'd', "0.00|-0|1e400", "fallback"},  // 1e400 has 401 digits after quantizing
      {_, _, _, _, 'd', "7e-400", "decimal *"},
      {_, _, _, "2", 'f', "inf|-inf|nan|0.0|-0.0|1e-300", "fallback"},  // 1e-300 is zero at two places
      {_, _, _, _, 'f', "1e+308", "float *"},
      {_, _, "100", _, 'f', "1e+308", "fallback"},
      {_, _, _, "2", 'd', "NaN|-NaN|sNaN|-Infinity||1e|1e401|1e-401|1{39}|1.2345678901234567890123456789", "fallback"},
      {_, _, _, "2", 'd', "1{38}", "decimal *"},
      {_, _, _, "2", 'i', "9{38}|-9{38}", "int *"},
      {_, _, _, "2", 'i', "10{38}|-10{38}", "fallback"},
      {_, _, _, "60", 'd', "123.5", "fallback"},
      {"0", "1e999999999999", _, _, 'i', "5", "fallback"},
      {"0", "1e999999999999", _, _, 'd', "5", "fallback"},
      {"0", "1e999999999999", _, _, 'f', "5.0", "fallback"},  // beyond any double
      {_, _, _, "4294967295", 'd', "1.5|0.0", "fallback"},
      {_, _, _, "4294967295", 'f', "1.5", "fallback"},
      // A negligible variance: the target rounds back to the value, which moves by one step.
      {_, _, "1e-999999999999", _, 'i', "1000", "int 999|int 1001"},
      {_, _, "1e-999999999999", _, 'd', "2.50", "decimal 249E-2|decimal 251E-2"},
      // A range whose exponent arithmetic overflows makes every value a fallback.
      {"-7{61}e9223372036854775807", "1e9223372036854775807", _, _, 'i', "1", "fallback"},
  };
  const auto start = std::chrono::steady_clock::now();
  auto ex = [](const std::optional<std::string>& o) { return o ? std::optional(expand(*o)) : o; };
  for (const auto& c : cases) {
    std::optional<std::uint32_t> decimals;
    if (c.decimals) decimals = static_cast<std::uint32_t>(std::stoul(*c.decimals));
    const NumberStrategy s = strategy(ex(c.min), ex(c.max), ex(c.variance), decimals);
    const std::string expected = c.expected, either = expected.substr(0, expected.find('|'));  // or all of it
    std::stringstream values(c.values);
    for (std::string value; std::getline(values, value, '|');) {
      value = expand(value);
      const bool negative = value.starts_with('-');
      const std::string got = c.kind == 'i'
                                  ? masked(s.maskInteger(kh(), BigInt::fromDecimal(value.substr(negative), negative)))
                              : c.kind == 'd' ? masked(s.maskDecimal(kh(), value))
                              : c.kind == 'f' ? masked(s.maskFloat(kh(), std::strtod(value.c_str(), nullptr), value))
                                              : str(NumberStrategyTestPeer::target(s, dec(value), kh(), value));
      const bool matches = expected.ends_with('*') ? got.starts_with(expected.substr(0, expected.size() - 1))
                                                   : got == either || got == expected.substr(expected.find('|') + 1);
      EXPECT_TRUE(matches) << c.kind << " " << value << ": " << got << ", expected " << expected;
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(NumberStrategyTest, BoundedResultsStayInTheirGrid) {
  const NumberStrategy tens = strategy("10", "20", std::nullopt, 0), narrow = strategy("10.2", "10.8", std::nullopt, 0);
  std::set<std::string> grid;  // whole numbers from 10 to 20, of each kind
  for (int k = 10; k <= 20; ++k) grid.insert({"int " + show(k), "float " + show(k), "decimal " + show(k) + "E0"});
  for (int i = 0; i < 300; ++i) {
    const std::string v = std::to_string(i * 37 - 4000) + ".25", f = std::to_string(i) + ".5";
    EXPECT_TRUE(grid.count(masked(tens.maskDecimal(kh(), v)))) << v;
    EXPECT_TRUE(grid.count(masked(tens.maskFloat(kh(), i + 0.5, f)))) << f;
    EXPECT_TRUE(grid.count(masked(tens.maskInteger(kh(), BigInt::fromI64(i * 37 - 4000))))) << i;
    EXPECT_EQ(masked(narrow.maskDecimal(kh(), v)), "decimal 10E0");
    EXPECT_EQ(masked(narrow.maskFloat(kh(), i + 0.5, f)), "float 10");
  }
}

// The machine-integer paths (256 and 512 bits) agree with the BigInt path on
// every result and target: settings whose values, bounds and products near or
// pass 512 bits, then random ones of the common sizes. The relative target
// rounds its final product often, with exact ties (2u - 2^53 is even). In
// relative mode a nonzero value never comes back unchanged.
TEST(NumberStrategyTest, MachinePathsMatchBigInt) {
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
  using Setting = std::array<std::optional<std::string>, 3>;  // min, max, variance
  const std::optional<std::string> _;
  const Setting wideSettings[] = {{_, _, _},
                                  {_, _, "0.5"},
                                  {_, _, "123456789012345678901234567890123456789012345678901234567890123"},
                                  {_, _, "3e-70"},
                                  {"-1000", "250000", _},
                                  {"0.01", "99999.99", _},
                                  {"-9" + std::string(70, '9'), "9" + std::string(75, '0') + ".5", _},
                                  {"1e-80", "2e-80", _},
                                  {"-1" + std::string(100, '0') + "e-60", "7" + std::string(110, '3') + "e-90", _}};
  const std::optional<std::uint32_t> widePlaces[] = {std::nullopt, 0, 3, 90};
  // 1 + m near 10^60, 7 and 8 digits, the exponent limits.
  static const char* const edges[] = {"9.999999",  "-9.999999",   "9999999E-6", "9000001E-6", "8999999E-6",
                                      "1.0000000", "99999999E-6", "1E-6",       "1E-7",       "9999999E52",
                                      "-1E52",     "1E53",        "0E-6",       "5E-1",       "-0.1"};
  int ints = 0;
  for (std::size_t round = 0; round < 436; ++round) {
    const bool wide = round < 36;
    Setting s = wide ? wideSettings[round / 4] : Setting{};
    std::optional<std::uint32_t> decimals = wide ? widePlaces[round % 4] : std::nullopt;
    if (!wide && pick(2) == 0) {
      // Variances mostly of up to 7 digits with exponents around [-6, 52].
      const std::uint64_t shape = pick(6);
      if (shape == 5) s[2] = edges[pick(std::size(edges))];
      if (shape == 1) s[2] = pick(4) == 0 ? "0" : signed_(withExponent(digits(1 + pick(8)), -9, 55));
      if (shape > 1 && shape < 5) s[2] = withExponent(digits(1 + pick(7)), -7, 3);
    } else if (!wide) {
      const int spread = static_cast<int>(pick(30));
      s[0] = signed_(withExponent(digits(1 + pick(25)), -12, spread - 8));
      s[1] = signed_(withExponent(digits(1 + pick(25)), -12, spread - 8));
      if (pick(4) != 0 && Dec::compare(dec(*s[1]), dec(*s[0])) == std::strong_ordering::less) std::swap(s[0], s[1]);
    }
    if (!wide && pick(3) != 0) decimals = static_cast<std::uint32_t>(pick(4) == 0 ? 20 : pick(7));
    const NumberStrategy fast = strategy(s[0], s[1], s[2], decimals), exact = NumberStrategyTestPeer::exactOnly(fast);
    const std::string where = "min " + s[0].value_or("-") + " max " + s[1].value_or("-") + " variance " +
                              s[2].value_or("-") + " decimals " + (decimals ? std::to_string(*decimals) : "-");
    for (int i = 0; i < (wide ? 60 : 25); ++i) {
      const std::string intText = wide ? digits(1 + pick(38)) : pick(20) == 0 ? "0" : digits(1 + pick(20));
      const BigInt integer = BigInt::fromDecimal(intText, pick(2) == 0);
      const NumberResult a = fast.maskInteger(kh(), integer);
      ints += !wide && a.kind == NumberResult::Kind::Int;
      EXPECT_EQ(masked(a), masked(exact.maskInteger(kh(), integer))) << intText << " " << where;
      const bool relativeInt = !s[0] && !decimals && a.kind == NumberResult::Kind::Int && !integer.isZero();
      EXPECT_TRUE(!relativeInt || a.integer != integer) << intText << " " << where;
      const std::string decText = wide ? signed_(withExponent(digits(1 + pick(38)), -80, 39))
                                       : signed_(withExponent(pick(20) == 0 ? "0" : digits(1 + pick(20)), -25, 10));
      const NumberResult d = fast.maskDecimal(kh(), decText);
      EXPECT_EQ(masked(d), masked(exact.maskDecimal(kh(), decText))) << decText << " " << where;
      const bool relativeDec = !s[0] && d.kind == NumberResult::Kind::Decimal && !dec(decText).isZero();
      EXPECT_TRUE(!relativeDec || Dec::compare(dec(d.text), dec(decText)) != 0) << decText << " " << where;
      double real = wide ? std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(pick(200)) - 120)
                         : std::ldexp(static_cast<double>(rng() >> (11 + pick(40))), static_cast<int>(pick(100)) - 60);
      std::ostringstream repr;
      repr.precision(wide ? 17 : 1 + static_cast<int>(pick(17)));
      repr << (pick(2) ? -real : real);
      real = std::stod(repr.str());
      EXPECT_EQ(masked(fast.maskFloat(kh(), real, repr.str())), masked(exact.maskFloat(kh(), real, repr.str())))
          << repr.str() << " " << where;
      const Dec value = dec(decText);
      EXPECT_EQ(str(NumberStrategyTestPeer::runTarget(fast, value, kh(), decText)),
                str(NumberStrategyTestPeer::target(exact, value, kh(), decText)))
          << decText << " " << where;
    }
  }
  EXPECT_GT(ints, 5000);  // most short values are masked, not fallbacks
}

// floatRepr's number is what its text reads as, digit for digit (trailing
// zeros of a whole number's ".0" form included), for doubles of every size.
TEST(NumberStrategyTest, ReprNumberIsWhatTheReprReads) {
  std::mt19937_64 rng(20261208);
  for (int i = 0; i < 200000; ++i) {
    double x = std::bit_cast<double>(rng());
    if (i % 4 == 0) x = std::round(std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 80) - 60));
    if (!std::isfinite(x) || x == 0) continue;
    char repr[kFloatReprRoom];
    ReprNumber number;
    const std::string text(repr, floatRepr(x, repr, &number));
    const Dec read = dec(text);
    ASSERT_EQ(str(read.coefficient.toDecimal()), std::to_string(number.coefficient)) << text;
    ASSERT_EQ(read.exponent, number.exponent) << text;
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), x) << text;
  }
}

// floatRepr's integer road against the library's: random bits, real tables' uniform draws and cents, short
// decimals (ties between two nearest points) and their neighbours, neighbours of powers of two and of whole
// numbers.
TEST(NumberStrategyTest, ReprIntegerRoadIsTheLibraryRoad) {
  std::mt19937_64 rng(20261207);
  auto draw = [&](int shape) -> double {
    const double unit = static_cast<double>(rng() >> 11) * 0x1p-53, towards = rng() % 2 ? 0.0 : 1e300;
    const double decimal = static_cast<double>(rng() % 100000000) / std::pow(10.0, static_cast<double>(rng() % 8));
    switch (shape) {
      case 0: return std::bit_cast<double>(rng());
      case 1: return 0.01 + unit * 40;
      case 2: return unit * std::ldexp(1.0, static_cast<int>(rng() % 80) - 20);
      case 3: return decimal;
      case 4: return std::nextafter(std::ldexp(1.0, static_cast<int>(rng() % 70) - 15), towards);
      case 5: return std::nextafter(static_cast<double>(rng() % 1000000), towards);
      default: return std::nextafter(decimal, towards);
    }
  };
  for (int i = 0; i < 400000; ++i) {
    const double x = (rng() % 2 ? -1 : 1) * draw(i % 7);
    char a[kFloatReprRoom], b[kFloatReprRoom];
    ReprNumber na, nb;
    ASSERT_EQ(std::string(a, floatRepr(x, a, &na)), std::string(b, floatReprByLibraryForTesting(x, b, &nb)));
    ASSERT_TRUE(na.coefficient == nb.coefficient && na.exponent == nb.exponent) << b;
  }
}

// Decimal texts as str() writes them are their own hash data and are hashed as
// read; every other spelling of a number (a sign, leading or trailing zeros,
// no digit before the point, an exponent) is hashed as the general road
// hashes its value. Compared through the masked values, which the hash data
// decides.
TEST(NumberStrategyTest, ShortRoadHashesDecimalTextsAsTheGeneralRoad) {
  std::mt19937_64 rng(20261208);
  auto pick = [&](std::uint64_t n) { return rng() % n; };
  auto digits = [&](std::uint64_t n) {
    std::string out;
    while (out.size() < n) out.push_back(static_cast<char>('0' + pick(10)));
    return out;
  };
  static const char* const signs[] = {"", "", "-", "+"};
  static const char* const wholes[] = {"0", "00", "", "7", "10"};
  static const char* const exponents[] = {"", "", "", "E+2", "e-3", "E0"};
  const NumberStrategy fast = strategy(std::nullopt, std::nullopt, std::nullopt, std::nullopt);
  const NumberStrategy general = NumberStrategyTestPeer::generalOnly(fast);
  std::vector<std::string> texts;
  for (int i = 0; i < 20000; ++i) {
    std::string whole = pick(2) ? wholes[pick(std::size(wholes))] : digits(1 + pick(8));
    std::string text = signs[pick(std::size(signs))] + whole;
    if (pick(6) != 0) text += "." + digits(pick(8)) + (pick(3) == 0 ? "0" : "");
    text += exponents[pick(std::size(exponents))];
    if (!Dec::parse(text)) continue;
    texts.push_back(text);
  }
  std::vector<NumberInput> inputs(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) inputs[i] = {NumberInput::Kind::Decimal, nullptr, 0, texts[i]};
  std::vector<NumberResult> a(texts.size()), b(texts.size());
  fast.maskMany(kh(), inputs, a.data());
  general.maskMany(kh(), inputs, b.data());
  for (std::size_t i = 0; i < texts.size(); ++i) ASSERT_EQ(masked(a[i]), masked(b[i])) << texts[i];
  EXPECT_GT(texts.size(), 15000u);
}

// The short road (values of up to 19 digits under short settings) against the
// general road it hands over to, on random settings of both modes (the
// variances of real tables among them) and ints, floats and Decimals of many
// sizes and exponents. A quarter of the draws lie next to 1/2, where the
// relative target is the value itself or a hair from it: ties such as x.xx5
// at the grid, before and after the 60-digit rounding.
TEST(NumberStrategyTest, ShortRoadMatchesGeneralRoad) {
  std::mt19937_64 rng(20260117);
  auto pick = [&](std::uint64_t n) { return rng() % n; };
  auto digits = [&](std::uint64_t n) {
    std::string out(1, static_cast<char>('1' + pick(9)));
    while (out.size() < n) out.push_back(static_cast<char>('0' + pick(10)));
    return out;
  };
  // A decimal text of up to n digits (some "0"), exponent in [lo, hi].
  auto number = [&](std::uint64_t n, int lo, int hi) {
    const std::string sign = pick(3) == 0 ? "-" : "";
    const std::string d = pick(12) == 0 ? "0" : digits(1 + pick(n)) + (pick(6) == 0 ? "000" : "");
    return sign + d + "E" + std::to_string(lo + static_cast<int>(pick(static_cast<std::uint64_t>(hi - lo + 1))));
  };
  static const char* const variances[] = {"9.999999",    "-0.5", "1E-6", "9999999E-6", "0",   "1E52",
                                          "12345678E-3", "1E-7", "0.2",  "0.02",       "0.25"};
  const std::optional<std::string> _;
  std::size_t answered = 0, total = 0;
  for (int round = 0; round < 1500; ++round) {
    std::optional<std::string> min, max, variance;
    const std::uint64_t shape = pick(8);
    if (shape == 1 || shape == 2) variance = number(7, -7, 2);
    if (shape == 3) variance = variances[pick(std::size(variances))];
    if (shape >= 4) {
      const int wide = pick(4) == 0 ? 30 : 6;
      min = number(shape == 7 ? 20 : 9, -wide, wide), max = number(shape == 7 ? 20 : 9, -wide, wide);
      if (pick(5) != 0 && Dec::compare(dec(*max), dec(*min)) < 0) std::swap(min, max);
    }
    std::optional<std::uint32_t> decimals;
    if (pick(3) != 0) decimals = static_cast<std::uint32_t>(pick(8) == 0 ? 20 + pick(30) : pick(7));
    const NumberStrategy fast = strategy(min, max, variance, decimals),
                         general = NumberStrategyTestPeer::generalOnly(fast);
    std::vector<std::string> texts(200);
    std::vector<BigInt> ints(texts.size());
    std::vector<NumberInput> inputs(texts.size());
    std::vector<std::uint64_t> units(texts.size());
    std::vector<bool> unwritten(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
      const std::uint64_t kind = pick(3);
      if (kind == 0) {
        texts[i] = pick(10) == 0 ? "0" : digits(1 + pick(pick(8) == 0 ? 38 : 19));
        ints[i] = BigInt::fromDecimal(texts[i], pick(2) == 0);
        inputs[i] = {NumberInput::Kind::Int, &ints[i], 0, {}};
      } else if (kind == 1) {
        // Doubles of all sizes, 15 to 17 digits or fewer; as repr() writes
        // them (also left for the strategy to write), or shorter.
        const int scale = static_cast<int>(pick(4) == 0 ? pick(2000) : pick(600) + 700) - 1000;
        double x = std::ldexp(static_cast<double>(rng() >> (11 + pick(50))), scale);
        if (pick(8) == 0) x = std::round(x * 100) / 100;
        if (pick(16) == 0 && x != 0) x = std::ldexp(x, 52 - std::ilogb(x));  // whole, 16 digits: 4503599627370497.0
        char repr[40];
        const std::uint64_t form = pick(3);
        if (form == 0) {
          repr[floatRepr(pick(2) ? -x : x, repr)] = 0;
        } else if (form == 1) {
          *std::to_chars(repr, repr + sizeof repr - 1, pick(2) ? -x : x).ptr = 0;  // shortest round trip
        } else {
          std::snprintf(repr, sizeof repr, "%.*g", 1 + static_cast<int>(pick(17)), pick(2) ? -x : x);
        }
        texts[i] = repr;
        inputs[i] = {NumberInput::Kind::Float, nullptr, std::strtod(repr, nullptr), {}};
        unwritten[i] = form == 0;
      } else {
        const std::uint64_t tail = pick(4);  // x.xx5 ties on the grid, or any size
        texts[i] = tail == 0 && decimals
                       ? (pick(2) ? "-" : "") + digits(1 + pick(18)) + "5E-" + std::to_string(*decimals + 1)
                   : tail == 1 ? number(25, -420, 420)
                               : number(19, -30, 10);
        inputs[i] = {NumberInput::Kind::Decimal, nullptr, 0, {}};
      }
      if (kind != 0) inputs[i].text = texts[i];
      const std::uint64_t near = pick(8);
      units[i] = near < 2    ? (std::uint64_t{1} << 52) + pick(9) - 4
                 : near == 2 ? (pick(2) ? 0 : (std::uint64_t{1} << 53) - 1 - pick(3))
                             : rng() >> 11;
    }
    std::vector<NumberResult> a(texts.size()), b(texts.size()), c(texts.size());
    NumberStrategyTestPeer::maskManyWithUnits(fast, kh(), inputs, units.data(), a.data());
    NumberStrategyTestPeer::maskManyWithUnits(general, kh(), inputs, units.data(), b.data());
    for (std::size_t i = 0; i < texts.size(); ++i)
      if (unwritten[i]) inputs[i].text = {};
    NumberStrategyTestPeer::maskManyWithUnits(fast, kh(), inputs, units.data(), c.data());
    // The Decimals again, given as their values rather than their texts (as
    // a caller that holds their digits gives them): the same numbers.
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (inputs[i].kind != NumberInput::Kind::Decimal) continue;
      if (const std::optional<number_detail::ShortValue> v = number_detail::parseShort(texts[i]))
        inputs[i] = NumberInput::ofDecimal(*v);
    }
    std::vector<NumberResult> d(texts.size()), e(texts.size());
    NumberStrategyTestPeer::maskManyWithUnits(fast, kh(), inputs, units.data(), d.data());
    NumberStrategyTestPeer::maskManyWithUnits(general, kh(), inputs, units.data(), e.data());
    for (std::size_t i = 0; i < texts.size(); ++i) {
      ASSERT_EQ(masked(d[i]), masked(b[i])) << texts[i] << " given as its value";
      ASSERT_EQ(masked(e[i]), masked(b[i])) << texts[i] << " given as its value, general road";
      ASSERT_EQ(masked(c[i]), masked(b[i])) << texts[i] << " written by the strategy";
      ASSERT_EQ(masked(a[i]), masked(b[i]))
          << texts[i] << " u " << units[i] << " min " << min.value_or("-") << " max " << max.value_or("-")
          << " variance " << variance.value_or("-") << " decimals " << (decimals ? std::to_string(*decimals) : "-");
      answered += a[i].kind != NumberResult::Kind::Fallback;
    }
    total += texts.size();
  }
  EXPECT_GT(answered, total / 2);
}

}  // namespace
}  // namespace zorva
