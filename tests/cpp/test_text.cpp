// Number and text helpers on their own. The Python tests hold the same functions
// against CPython on generated inputs; these pin the facts our output relies on and
// the inputs the converter never produces (invalid UTF-8, cut sequences).
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "core/value/text.hpp"

using namespace bv;

namespace {

template <class F>
ErrKind kind_of(F&& f, std::string* message = nullptr) {
  try {
    f();
  } catch (const Error& e) {
    if (message) *message = e.message();
    return e.kind();
  }
  ADD_FAILURE() << "no error raised";
  return ErrKind::Runtime;
}

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

TEST(ReprDouble, RoundTripsAndPicksPythonsLayout) {
  std::mt19937_64 rng(12345);
  for (int i = 0; i < 200000; ++i) {
    uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isfinite(d)) continue;
    std::string s = repr_double(d);
    double back = 0;
    ASSERT_EQ(std::from_chars(s.data(), s.data() + s.size(), back).ec, std::errc()) << s;
    ASSERT_EQ(std::memcmp(&back, &d, sizeof d), 0) << s;
    int e = static_cast<int>(std::floor(std::log10(std::fabs(d))));
    bool sci = s.find('e') != std::string::npos;
    if (d != 0 && std::abs(e + 4) > 1 && std::abs(e - 16) > 1) ASSERT_EQ(sci, e < -4 || e >= 16) << s;
    if (!sci) ASSERT_NE(s.find('.'), std::string::npos) << s;
  }
  EXPECT_EQ(repr_double(1e16), "1e+16");
  EXPECT_EQ(repr_double(9999999999999998.0), "9999999999999998.0");
  EXPECT_EQ(repr_double(1e-5), "1e-05");
  EXPECT_EQ(repr_double(0.0001), "0.0001");
  EXPECT_EQ(repr_double(-0.0), "-0.0");
  EXPECT_EQ(repr_double(-kInf) + repr_double(kNaN), "-infnan");
}

TEST(Rounding, HalfToEvenOnTheExactValue) {
  EXPECT_EQ(round_half_even(2.675, 2), 2.67);  // 2.675 is stored just below the half
  EXPECT_EQ(round_half_even(0.125, 2), 0.12);
  EXPECT_EQ(round_half_even(25.0, -1), 20.0);
  EXPECT_EQ(round_half_even(35.0, -1), 40.0);
  EXPECT_EQ(round_half_even(25.000000000000004, -1), 30.0);  // the fraction breaks the tie
  EXPECT_TRUE(std::signbit(round_half_even(-4.0, -1)));
  EXPECT_EQ(round_half_even(1e300, 400), 1e300);
  EXPECT_TRUE(std::isnan(round_half_even(kNaN, 2)));
  EXPECT_EQ(kind_of([] { round_half_even(1.7976931348623157e308, -308); }), ErrKind::Overflow);

  EXPECT_EQ(round_to_int(2.5), 2);
  EXPECT_EQ(round_to_int(-3.5), -4);
  EXPECT_EQ(round_to_int(0.49999999999999994), 0);
  EXPECT_EQ(round_to_int(-9223372036854775808.0), std::numeric_limits<int64_t>::min());
  std::string msg;
  EXPECT_EQ(kind_of([] { round_to_int(kNaN); }, &msg), ErrKind::Value);
  EXPECT_EQ(msg, "cannot convert float NaN to integer");
  EXPECT_EQ(kind_of([] { round_to_int(-kInf); }, &msg), ErrKind::Overflow);
  EXPECT_EQ(msg, "cannot convert float infinity to integer");
  EXPECT_EQ(kind_of([] { round_to_int(9223372036854775808.0); }), ErrKind::Overflow);
}

TEST(Formats, SignsGroupingAndNonFinite) {
  EXPECT_EQ(fmt_plus_comma_0f(0.0), "+0");
  EXPECT_EQ(fmt_plus_comma_0f(-0.3), "-0");
  EXPECT_EQ(fmt_plus_comma_0f(-1234567.5), "-1,234,568");
  EXPECT_EQ(fmt_plus_comma_0f(-kNaN) + fmt_plus_comma_0f(kInf), "+nan+inf");
  std::string big = fmt_plus_comma_0f(1e300);
  ASSERT_EQ(big.size(), 1 + 301 + 100u);
  for (size_t j = 1; j < big.size(); ++j) ASSERT_EQ(big[j] == ',', (big.size() - j) % 4 == 0) << big;
  EXPECT_EQ(fmt_plus_1f(-0.04), "-0.0");
  EXPECT_EQ(fmt_1f(0.25) + fmt_1f(0.35) + fmt_1f(-kNaN), "0.20.3nan");  // 0.35 is stored below the half
  EXPECT_EQ(fmt_plus_comma_int(0), "+0");
  EXPECT_EQ(fmt_comma_int(std::numeric_limits<int64_t>::min()), "-9,223,372,036,854,775,808");
  EXPECT_EQ(fmt_plus_comma_int(999), "+999");
}

TEST(Parsing, IntegerText) {
  EXPECT_EQ(parse_int_text(" \t+1_000\xE3\x80\x80"), 1000);
  EXPECT_EQ(parse_int_text("-9223372036854775808"), std::numeric_limits<int64_t>::min());
  std::string msg;
  for (const char* bad : {"", "1__0", "_1", "1_", "- 1", "0x10", "\x1c" "1", "1.0", "\xD9\xA1"}) {
    EXPECT_EQ(kind_of([&] { parse_int_text(bad); }, &msg), ErrKind::Value) << bad;
  }
  EXPECT_EQ(kind_of([] { parse_int_text("it's"); }, &msg), ErrKind::Value);
  EXPECT_EQ(msg, "invalid literal for int() with base 10: \"it's\"");
  EXPECT_EQ(kind_of([] { parse_int_text("9223372036854775808"); }), ErrKind::Overflow);
  EXPECT_EQ(kind_of([] { parse_int_text("99999999999999999999z"); }), ErrKind::Value);
}

TEST(Parsing, FloatText) {
  EXPECT_EQ(parse_float_text("\xC2\x85 1_0.5e1_0 "), 105000000000.0);
  EXPECT_EQ(parse_float_text("-InFiNiTy"), -kInf);
  EXPECT_TRUE(std::signbit(parse_float_text("-nan")) && std::isnan(parse_float_text("-nan")));
  EXPECT_EQ(parse_float_text("1e500"), kInf);
  EXPECT_TRUE(std::signbit(parse_float_text("-1e-500")));
  EXPECT_EQ(parse_float_text("0.000" "1e99999999999999999999"), kInf);
  EXPECT_EQ(parse_float_text(".5") + parse_float_text("5."), 5.5);
  std::string msg;
  for (const char* bad : {"", ".", "e5", "1e", "1._5", "1_.5", "nan(1)", "0x1p3", "in_f", "+-1", "1e5.0"}) {
    EXPECT_EQ(kind_of([&] { parse_float_text(bad); }, &msg), ErrKind::Value) << bad;
  }
  EXPECT_EQ(msg, "could not convert string to float: '1e5.0'");
}

TEST(TextHelpers, StripSetAndBrokenUtf8) {
  const char* spaces[] = {"\t", "\x1c", " ", "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\x8A",
                          "\xE2\x80\xA8", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
  for (const char* sp : spaces) {
    std::string s = std::string(sp) + "x" + sp;
    EXPECT_EQ(py_strip(s), "x") << sp;
    EXPECT_TRUE(is_blank(sp));
  }
  // Zero width space, Mongolian vowel separator, lone surrogate, cut sequences: kept.
  for (const char* kept : {"\xE2\x80\x8B", "\xE1\xA0\x8E", "\xED\xA0\x80", "\xE2\x80", "\xC2", "\x80"}) {
    EXPECT_FALSE(is_blank(kept)) << kept;
    EXPECT_EQ(py_strip(kept), kept);
  }
  EXPECT_EQ(html_escape("<a href=\"x\">&'</a>"), "&lt;a href=&quot;x&quot;&gt;&amp;&#x27;&lt;/a&gt;");
  EXPECT_EQ(py_repr_str("a'\"\\\n\x01\xC2\xA0\xED\xA0\x80\xF0\x9F\x98\x80"),
            "'a\\'\"\\\\\\n\\x01\\xa0\\ud800\xF0\x9F\x98\x80'");
  EXPECT_EQ(py_repr_str("\xFF"), "'\\xff'");  // not UTF-8: shown byte by byte, never copied raw
}

TEST(TextHelpers, CaseForTokenTests) {
  EXPECT_EQ(py_lower_for_match("ABC\xC4\xB0\xE2\x84\xAA\xC3\x89"), "abci\xCC\x87k\xC3\x89");
  EXPECT_TRUE(icase_contains("xx\xC4\xB0S\xE2\x84\xAA", "isk"));
  EXPECT_TRUE(icase_contains("DI\xC5\xBF", "dis"));
  EXPECT_TRUE(icase_contains("\xC4\xB1", "i"));
  EXPECT_FALSE(icase_contains("\xC4", "i"));  // a cut sequence matches nothing
  EXPECT_FALSE(icase_contains("ki", "kis"));
  EXPECT_TRUE(icase_contains("", ""));
}
