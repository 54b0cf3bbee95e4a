// The JSON writer's fast paths on inputs Python cannot hand it: every byte value at
// every offset of a word (invalid UTF-8 included), integers beside each power of
// ten, big-int digits and line breaks wider than the staging block, and output
// appended behind text the caller already had. The expected text is built here
// from json's escaping rules, one byte at a time.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "core/value/text.hpp"

using namespace bv;

namespace {

enum class Form { Compact, Ascii, Unicode };

void write_into(Form form, std::string& out, const Value& v) {
  if (form == Form::Compact)
    write_json_compact(out, v, 1000);
  else if (form == Form::Ascii)
    write_json_indent(out, v, 2, 1000);
  else
    write_json_indent_unicode(out, v, 2, 1000);
}

std::string write(Form form, const Value& v) {
  std::string out;
  write_into(form, out, v);
  return out;
}

// json's escape of one byte that stands alone: ensure_ascii turns DEL into \u007f
// and a stray non-ASCII byte (invalid UTF-8) into U+FFFD; otherwise both pass.
std::string escaped_byte(unsigned char b, bool ascii) {
  switch (b) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '\b': return "\\b";
    case '\f': return "\\f";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    default: break;
  }
  static const char kHex[] = "0123456789abcdef";
  if (b < 0x20 || (ascii && b == 0x7F)) return std::string("\\u00") + kHex[b >> 4] + kHex[b & 0xF];
  if (ascii && b >= 0x80) return "\\ufffd";
  return std::string(1, static_cast<char>(b));
}

class EveryForm : public ::testing::TestWithParam<Form> {};

}  // namespace

TEST_P(EveryForm, EveryByteAtEveryOffsetOfAWord) {
  Form form = GetParam();
  bool ascii = form == Form::Ascii;
  for (int b = 0; b < 256; ++b) {
    for (size_t pos = 0; pos < 20; ++pos) {
      for (size_t tail = 0; tail < 10; ++tail) {
        std::string text = std::string(pos, 'a') + static_cast<char>(b) + std::string(tail, 'b');
        std::string want = "\"" + std::string(pos, 'a') + escaped_byte(static_cast<unsigned char>(b), ascii) +
                           std::string(tail, 'b') + "\"";
        ASSERT_EQ(write(form, Value(text)), want) << "byte " << b << " at " << pos << " before " << tail;
      }
    }
  }
}

TEST_P(EveryForm, StringsLongerThanTheStagingBlock) {
  Form form = GetParam();
  bool ascii = form == Form::Ascii;
  // A megabyte with an escape every 997 bytes, and one with nothing to escape.
  std::string text, want = "\"";
  for (size_t i = 0; i < (1u << 20); ++i) {
    unsigned char c = i % 997 == 0 ? static_cast<unsigned char>("\"\\\n\x01\x7f"[i % 5]) : 'a' + i % 26;
    text += static_cast<char>(c);
    want += escaped_byte(c, ascii);
  }
  want += '"';
  EXPECT_EQ(write(form, Value(text)), want);
  std::string plain(3u << 20, 'q');
  EXPECT_EQ(write(form, Value(plain)), "\"" + plain + "\"");
}

TEST_P(EveryForm, IntsBesideEveryPowerOfTen) {
  Form form = GetParam();
  std::vector<int64_t> ints = {0, std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min()};
  for (int64_t p = 1; p <= std::numeric_limits<int64_t>::max() / 10; p *= 10) {
    for (int64_t d : {-1, 0, 1}) {
      ints.push_back(p * 10 + d);
      ints.push_back(-(p * 10 + d));
    }
  }
  for (int64_t i : ints) {
    ASSERT_EQ(write(form, Value(static_cast<long long>(i))), std::to_string(i));
    Value m = Value::map();
    m.add(Value(static_cast<long long>(i)), Value());
    std::string key = "\"" + std::to_string(i) + "\": null";
    ASSERT_NE(write(form, m).find(key), std::string::npos) << i;
  }
}

TEST_P(EveryForm, BigDigitsLongerThanTheStagingBlock) {
  std::string digits = "-" + std::string(600000, '7');
  EXPECT_EQ(write(GetParam(), Value::big_int(digits, nullptr)), digits);
  Value m = Value::map();
  m.add(Value::big_int(digits, nullptr), 1);
  std::string out = write(GetParam(), m);
  EXPECT_NE(out.find("\"" + digits + "\": 1"), std::string::npos);
}

TEST_P(EveryForm, AppendsBehindTheCallersTextAndKeepsItOnFailure) {
  Form form = GetParam();
  // Enough items to fill the staging block many times and the result past 8 MiB.
  Value items = Value::list(200000);
  for (int i = 0; i < 200000; ++i) items.push(Value(std::string(40, static_cast<char>('a' + i % 26))));
  std::string out = "prefix";
  write_into(form, out, items);
  EXPECT_EQ(out, "prefix" + write(form, items));
  EXPECT_GT(out.size(), 200000u * 42);

  int token = 0;
  items.push(Value::opaque(&token, "Gadget"));
  std::string caller = "prefix";
  try {
    write_into(form, caller, items);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrKind::Type);
    EXPECT_EQ(e.message(), "Object of type Gadget is not JSON serializable");
  }
  EXPECT_EQ(caller, "prefix");
}

INSTANTIATE_TEST_SUITE_P(Forms, EveryForm, ::testing::Values(Form::Compact, Form::Ascii, Form::Unicode));

TEST(JsonIndent, LineBreaksWiderThanTheStagingBlock) {
  // Three levels of 100,000 spaces: the deepest line break alone is 300 kB.
  constexpr int kDepth = 3;
  constexpr int kIndent = 100000;
  Value v = Value(1);
  for (int i = 0; i < kDepth; ++i) {
    Value outer = Value::list(1);
    outer.push(std::move(v));
    v = std::move(outer);
  }
  std::string want;
  for (int d = 0; d < kDepth; ++d) want += (d ? "\n" + std::string(static_cast<size_t>(d * kIndent), ' ') : "") + "[";
  want += "\n" + std::string(static_cast<size_t>(kDepth * kIndent), ' ') + "1";
  for (int d = kDepth - 1; d >= 0; --d) want += "\n" + std::string(static_cast<size_t>(d * kIndent), ' ') + "]";
  std::string out;
  write_json_indent(out, v, kIndent, 1000);
  EXPECT_EQ(out, want);
}

namespace {

// A random tree of maps and lists, with now and then an object json cannot write or
// a nesting deeper than the limit, so that the first failure may fall anywhere.
Value random_tree(std::mt19937& rng, int depth, unsigned faults) {
  const unsigned roll = rng() % 100;
  if (depth >= 6 || roll < 30) {
    if (faults & 1 && roll < 2) return Value::opaque(nullptr, roll ? "Widget" : "Gadget");
    if (roll < 10) return Value(static_cast<long long>(rng() % 1000) - 500);
    if (roll < 15) return Value(static_cast<double>(rng() % 1000) / 7.0);
    if (roll < 20) return Value();
    return Value::static_str(roll % 2 ? "text" : "\xc3\xa9t\xc3\xa9 \"q\"");
  }
  const size_t n = rng() % 6;
  if (faults & 2 && roll > 97) {  // deeper than the limit
    Value deep = Value::list(1);
    Value* at = &deep;
    for (int i = 0; i < 12; ++i) at = &at->push(Value::list(1));
    return deep;
  }
  if (roll < 65) {
    Value l = Value::list(n);
    for (size_t i = 0; i < n; ++i) l.push(random_tree(rng, depth + 1, faults));
    return l;
  }
  Value m = Value::map(n);
  for (size_t i = 0; i < n; ++i) m.add(Value(std::string("k") + std::to_string(i)), random_tree(rng, depth + 1, faults));
  return m;
}

}  // namespace

// The document in parts, written by two threads, is the document written in one go:
// the same bytes, or the same error as the first one a single walk meets.
TEST(JsonParts, ConcatenationIsTheDocumentAndTheErrorIsTheFirst) {
  std::mt19937 rng(8122026);
  int failed = 0, written = 0;
  for (int round = 0; round < 400; ++round) {
    const unsigned faults = static_cast<unsigned>(round % 4);
    Value root = Value::map(8);
    for (int i = 0; i < 8; ++i) root.add(Value(std::string("m") + std::to_string(i)), random_tree(rng, 1, faults));
    std::string whole, error_whole, error_parts;
    try {
      write_json_compact(whole, root, 10);
    } catch (const Error& e) {
      error_whole = e.message();
    }
    std::string joined;
    try {
      for (const std::string& part : write_json_compact_parts(root, 10)) joined += part;
    } catch (const Error& e) {
      error_parts = e.message();
    }
    ASSERT_EQ(error_whole, error_parts) << "round " << round;
    if (error_whole.empty()) {
      ASSERT_EQ(whole, joined) << "round " << round;
      ++written;
    } else {
      ++failed;
    }
  }
  EXPECT_GT(written, 50);
  EXPECT_GT(failed, 50);
}

// A table writes, compares and copies as the list of maps it stands for, in every
// form, with containers in its cells and at every depth limit.
TEST_P(EveryForm, TableIsTheListOfMapsItStandsFor) {
  static const Value kKeys[] = {"name", "sizes", "note"};
  Value table = Value::table(kKeys, 3, 2);
  Value sizes = Value::list(2);
  sizes.push(1);
  sizes.push(Value::map());
  table.table().push(Value("a\n\xc3\xa9"), std::move(sizes), Value());
  table.table().push(Value(""), Value::list(), 2.5);
  Value doc = Value::map(2);
  doc.add("rows", table);
  doc.add("empty", Value::table(kKeys, 3));
  const Value as_list = [&] {
    Value d = Value::map(2);
    d.add("rows", table_as_list(table));
    d.add("empty", Value::list());
    return d;
  }();
  EXPECT_EQ(write(GetParam(), doc), write(GetParam(), as_list));
  EXPECT_TRUE(deep_equal(doc, as_list));
  EXPECT_TRUE(py_eq(as_list, doc));
  Value copy = doc;  // a deep copy: the original's cells are left as they were
  copy.find("rows")->table().cells[0] = Value("changed");
  EXPECT_FALSE(deep_equal(copy, doc));
  EXPECT_TRUE(deep_equal(doc, as_list));
  EXPECT_EQ(type_name(table), "list");
  EXPECT_EQ(table.size(), 2u);
  EXPECT_FALSE(truthy(Value::table(kKeys, 3)));
  // The depth guard counts a table and its rows as a list and its maps.
  for (int depth = 0; depth < 5; ++depth) {
    std::string got, want;
    bool got_error = false, want_error = false;
    try {
      write_json_compact(got, doc, depth);
    } catch (const Error&) {
      got_error = true;
    }
    try {
      write_json_compact(want, as_list, depth);
    } catch (const Error&) {
      want_error = true;
    }
    EXPECT_EQ(got_error, want_error) << depth;
    EXPECT_EQ(got, want) << depth;
  }
}
