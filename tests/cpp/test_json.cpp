// The JSON writer on hand-built values: what the converter cannot produce from
// Python (opaque keys, ints as big digits, invalid UTF-8), the depth guard and the
// promise that a failed write leaves the output as it was. Byte-for-byte equality
// with json.dumps on generated values is checked from Python.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "core/value/text.hpp"

using namespace bv;

namespace {

constexpr int kDefaultDepth = 1000;  // CPython's default recursion limit

std::string compact(const Value& v, int depth = kDefaultDepth) {
  std::string out;
  write_json_compact(out, v, depth);
  return out;
}

std::string indented(const Value& v, int indent = 2, int depth = kDefaultDepth) {
  std::string out;
  write_json_indent(out, v, indent, depth);
  return out;
}

Value list_of(std::initializer_list<Value> items) { return Value(List(items)); }

Value map_of(std::initializer_list<std::pair<Value, Value>> kv) {
  Value m = Value::map();
  for (auto& p : kv) m.add(p.first, p.second);
  return m;
}

}  // namespace

TEST(JsonStrings, EscapesPerForm) {
  // quote, backslash, the short escapes, another control, DEL, é, a lone surrogate, U+1F600
  Value s(std::string_view("\"\\\b\f\n\r\t\x01\x7f\xC3\xA9\xED\xA0\x80\xF0\x9F\x98\x80"));
  EXPECT_EQ(compact(s), "\"\\\"\\\\\\b\\f\\n\\r\\t\\u0001\x7f\xC3\xA9\xED\xA0\x80\xF0\x9F\x98\x80\"");
  EXPECT_EQ(indented(s), "\"\\\"\\\\\\b\\f\\n\\r\\t\\u0001\\u007f\\u00e9\\ud800\\ud83d\\ude00\"");
  std::string uni;
  write_json_indent_unicode(uni, s, 2, kDefaultDepth);
  EXPECT_EQ(uni, compact(s));
  EXPECT_EQ(indented(Value(std::string_view("\xFF" "a"))), "\"\\ufffda\"");  // never read past bad bytes
  EXPECT_EQ(indented(Value(std::string_view("\xE2\x82"))), "\"\\ufffd\\ufffd\"");
}

TEST(JsonLayout, SeparatorsIndentAndEmptyContainers) {
  Value tuple = list_of({1, 2});
  tuple.mark_tuple();
  Value v = map_of({{"a", list_of({Value(), true, Value(-0.0), tuple})},
                    {"b", Value::map()},
                    {"c", Value::list()},
                    {"d", map_of({{"e", list_of({list_of({})})}})}});
  EXPECT_EQ(compact(v), "{\"a\": [null, true, -0.0, [1, 2]], \"b\": {}, \"c\": [], \"d\": {\"e\": [[]]}}");
  EXPECT_EQ(indented(v),
            "{\n  \"a\": [\n    null,\n    true,\n    -0.0,\n    [\n      1,\n      2\n    ]\n  ],\n"
            "  \"b\": {},\n  \"c\": [],\n  \"d\": {\n    \"e\": [\n      []\n    ]\n  }\n}");
  EXPECT_EQ(indented(list_of({1, list_of({2})}), 0), "[\n1,\n[\n2\n]\n]");
  EXPECT_EQ(compact(list_of({Value(1e16), Value(std::numeric_limits<double>::quiet_NaN()),
                             Value(-std::numeric_limits<double>::infinity()), Value(int64_t{INT64_MIN})})),
            "[1e+16, NaN, -Infinity, -9223372036854775808]");
}

TEST(JsonKeys, NonStringKeysAndRejectedKinds) {
  Value v = map_of({{Value(), 1}, {true, 2}, {false, 3}, {7, 4}, {Value(0.5), 5}, {Value(1e300 * 1e10), 6}});
  v.add(Value::big_int("-123456789012345678901234567890", nullptr), 7);
  v.add("7", 8);  // duplicates are written as they are, as json.dumps does
  EXPECT_EQ(compact(v),
            "{\"null\": 1, \"true\": 2, \"false\": 3, \"7\": 4, \"0.5\": 5, \"Infinity\": 6, "
            "\"-123456789012345678901234567890\": 7, \"7\": 8}");

  auto type_error = [](const Value& bad) {
    std::string out = "kept";
    try {
      write_json_compact(out, bad, kDefaultDepth);
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrKind::Type);
      EXPECT_EQ(out, "kept");  // nothing half written
      return e.message();
    }
    return std::string("no error");
  };
  int token = 0;
  Value tuple_key = list_of({1});
  tuple_key.mark_tuple();
  EXPECT_EQ(type_error(map_of({{"ok", 1}, {tuple_key, 2}})), "keys must be str, int, float, bool or None, not tuple");
  EXPECT_EQ(type_error(map_of({{Value::opaque(&token, "Widget"), 1}})),
            "keys must be str, int, float, bool or None, not Widget");
  EXPECT_EQ(type_error(list_of({1, map_of({{"x", Value::opaque(&token, "set")}})})),
            "Object of type set is not JSON serializable");
}

TEST(JsonDepth, GuardRaisesAndDeepTreesNeedNoStack) {
  Value three = list_of({map_of({{"k", list_of({1})}})});
  EXPECT_EQ(compact(three, 3), "[{\"k\": [1]}]");
  {
    std::string out = "x";
    try {
      write_json_indent(out, three, 2, 2);
      FAIL() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.kind(), ErrKind::Recursion);
      EXPECT_EQ(e.message(), "maximum recursion depth exceeded while encoding a JSON object");
      EXPECT_EQ(out, "x");
    }
  }
  // Far deeper than nested calls could go on a small thread stack.
  constexpr int kDepth = 50000;
  Value deep = Value::list();
  for (int i = 0; i < kDepth; ++i) {
    Value outer = Value::list(1);
    outer.push(std::move(deep));
    deep = std::move(outer);
  }
  EXPECT_EQ(indented(deep, 0, kDepth + 1).size(), (kDepth + 1) * 2u + kDepth * 2u);  // brackets and newlines
  EXPECT_EQ(compact(deep, kDepth + 1).size(), (kDepth + 1) * 2u);
  // Value's destructor recurses; take the tree apart level by level.
  while (!deep.items().empty()) {
    Value inner = std::move(deep.items()[0]);
    deep = std::move(inner);
  }
}
