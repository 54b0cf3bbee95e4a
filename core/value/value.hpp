// The dynamic value that crosses every interface of both deliverables.
//
// A Value is null, bool, 64-bit int, double, UTF-8 string, list, insertion-ordered
// map, table (a list of maps that share their keys), or an opaque handle of a
// caller's object that the core never looks into.
// Values converted from the caller's objects remember that object (`src`), so a
// value copied through unchanged goes back to the caller as the very same object.
#pragma once

#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bv {

// Python exception kinds the core raises; the binding maps each to its Python type.
enum class ErrKind : uint8_t { Type, Value, Attribute, Overflow, Recursion, Key, Index, ZeroDivision, Runtime };

class Error : public std::exception {
 public:
  Error(ErrKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  ErrKind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  ErrKind kind_;
  std::string message_;
};

// The host has already recorded an error of its own (a caller's __str__ raised, say);
// the binding only has to unwind and report it.
struct ForeignError : std::exception {
  const char* what() const noexcept override { return "error pending in the host"; }
};

[[noreturn]] void raise(ErrKind kind, std::string message);

// BigInt: an integer beyond 64 bits, held as its decimal digits (only where a caller's
// value is shown or serialised rather than computed with, as in the diff report).
enum class Kind : uint8_t { Null, Bool, Int, Double, String, List, Map, Opaque, BigInt, Table };

class Value;
struct Member;
struct Table;
using List = std::vector<Value>;
using Map = std::vector<Member>;

class Value {
 public:
  // String storage: a literal with static lifetime, a view of a buffer that the
  // binding keeps alive for the whole call, or a heap copy owned by this value.
  enum StrMode : uint8_t { kStatic = 0, kBorrowed = 1, kOwned = 2 };

  Value() noexcept : kind_(Kind::Null) { u_.i = 0; }
  Value(std::nullptr_t) noexcept : Value() {}
  Value(bool b) noexcept : kind_(Kind::Bool) { u_.b = b; }
  Value(int v) noexcept : kind_(Kind::Int) { u_.i = v; }
  Value(long v) noexcept : kind_(Kind::Int) { u_.i = v; }
  Value(long long v) noexcept : kind_(Kind::Int) { u_.i = v; }
  Value(unsigned v) noexcept : kind_(Kind::Int) { u_.i = v; }
  Value(double d) noexcept : kind_(Kind::Double) { u_.d = d; }
  // A string literal: stored as a pointer, never copied or freed.
  template <size_t N>
  Value(const char (&lit)[N]) noexcept : kind_(Kind::String), mode_(kStatic) {
    u_.p = lit;
    n_ = N - 1;
  }
  explicit Value(std::string_view s) : kind_(Kind::String), mode_(kOwned) { set_owned(s.data(), s.size()); }
  explicit Value(const std::string& s) : Value(std::string_view(s)) {}
  explicit Value(std::string&& s) : Value(std::string_view(s)) {}
  Value(List l) : kind_(Kind::List) { u_.l = new List(std::move(l)); }
  Value(Map m);

  static Value borrowed_str(const char* p, size_t n, const void* src) {
    Value v;
    v.kind_ = Kind::String;
    v.mode_ = kBorrowed;
    v.u_.p = p;
    v.n_ = text_length(n);
    v.src_ = src;
    return v;
  }
  static Value static_str(const char* p) noexcept {
    Value v;
    v.kind_ = Kind::String;
    v.mode_ = kStatic;
    v.u_.p = p;
    v.n_ = static_cast<uint32_t>(std::strlen(p));
    return v;
  }
  static Value big_int(std::string_view digits, const void* src) {
    Value v(digits);
    v.kind_ = Kind::BigInt;
    v.src_ = src;
    return v;
  }
  // `empty`: the object is an empty container, so it counts as false.
  static Value opaque(const void* src, const char* type_name, bool empty = false) noexcept {
    Value v;
    v.kind_ = Kind::Opaque;
    v.tuple_ = empty;
    v.src_ = src;
    v.u_.p = type_name;
    v.n_ = static_cast<uint32_t>(std::strlen(type_name));
    return v;
  }
  static Value list(size_t reserve = 0) {
    Value v{List{}};
    v.u_.l->reserve(reserve);
    return v;
  }
  static Value map(size_t reserve = 0);
  // A table whose rows have the `width` keys at `keys` (static values: the table
  // keeps the pointer), room made for `rows` rows.
  static Value table(const Value* keys, uint32_t width, size_t rows = 0);

  Value(const Value& o) : kind_(o.kind_), mode_(o.mode_), tuple_(o.tuple_), n_(o.n_), src_(o.src_), u_(o.u_) {
    // Scalars and texts that own nothing copy as they are; the rest copy deeply.
    if (o.owns_something()) {
      kind_ = Kind::Null;
      copy_from(o);
    }
  }
  Value(Value&& o) noexcept : kind_(o.kind_), mode_(o.mode_), tuple_(o.tuple_), n_(o.n_), src_(o.src_), u_(o.u_) {
    o.kind_ = Kind::Null;
    o.src_ = nullptr;
  }
  Value& operator=(const Value& o) {
    if (this != &o) {
      Value tmp(o);
      swap(tmp);
    }
    return *this;
  }
  Value& operator=(Value&& o) noexcept {
    if (this != &o) {
      if (owns_something()) release();
      kind_ = o.kind_;
      mode_ = o.mode_;
      tuple_ = o.tuple_;
      n_ = o.n_;
      src_ = o.src_;
      u_ = o.u_;
      o.kind_ = Kind::Null;
      o.src_ = nullptr;
    }
    return *this;
  }
  ~Value() {
    if (owns_something()) release();
  }
  void swap(Value& o) noexcept {
    std::swap(kind_, o.kind_);
    std::swap(mode_, o.mode_);
    std::swap(tuple_, o.tuple_);
    std::swap(n_, o.n_);
    std::swap(src_, o.src_);
    std::swap(u_, o.u_);
  }

  Kind kind() const noexcept { return kind_; }
  bool is_null() const noexcept { return kind_ == Kind::Null; }
  bool is_bool() const noexcept { return kind_ == Kind::Bool; }
  bool is_int() const noexcept { return kind_ == Kind::Int; }
  bool is_double() const noexcept { return kind_ == Kind::Double; }
  // int, bool or double: what Python's numbers.Real would accept
  bool is_number() const noexcept { return kind_ == Kind::Int || kind_ == Kind::Double || kind_ == Kind::Bool; }
  bool is_str() const noexcept { return kind_ == Kind::String; }
  bool is_list() const noexcept { return kind_ == Kind::List; }
  bool is_map() const noexcept { return kind_ == Kind::Map; }
  bool is_table() const noexcept { return kind_ == Kind::Table; }
  bool is_opaque() const noexcept { return kind_ == Kind::Opaque; }
  bool is_big_int() const noexcept { return kind_ == Kind::BigInt; }
  // Decimal digits (with "-" when negative) of a BigInt.
  std::string_view big_digits() const noexcept { return {u_.p, n_}; }
  // A list converted from a tuple (or another non-list sequence): JSON writes it as a
  // list, but it is not a list where the contract asks "is this a list?".
  bool is_tuple() const noexcept { return tuple_; }
  void mark_tuple(bool t = true) noexcept { tuple_ = t; }

  bool as_bool() const noexcept { return u_.b; }
  int64_t as_int() const noexcept { return u_.i; }
  double as_double() const noexcept { return u_.d; }
  std::string_view str() const noexcept { return {u_.p, n_}; }
  StrMode str_mode() const noexcept { return static_cast<StrMode>(mode_); }
  const char* str_data() const noexcept { return u_.p; }
  List& items() noexcept { return *u_.l; }
  const List& items() const noexcept { return *u_.l; }
  Map& members() noexcept { return *u_.m; }
  const Map& members() const noexcept { return *u_.m; }
  Table& table() noexcept { return *u_.t; }
  const Table& table() const noexcept { return *u_.t; }
  // The type name of an opaque value's object (for error messages).
  std::string_view opaque_type() const noexcept { return {u_.p, n_}; }

  // The caller's object this value was converted from, or null for values the core made.
  const void* src() const noexcept { return src_; }
  void set_src(const void* s) noexcept { src_ = s; }
  // A copy that forgets its source object (the value was changed, so it is ours).
  Value detached() const {
    Value v(*this);
    v.src_ = nullptr;
    return v;
  }

  // Map access (maps keep insertion order; lookups are linear: output maps are small).
  const Value* find(std::string_view key) const noexcept;
  Value* find(std::string_view key) noexcept;
  // Look up with a default used only when the key is absent.
  const Value& get(std::string_view key, const Value& dflt) const noexcept;
  // Append a member (no duplicate check: the builder knows its keys are new).
  Value& add(Value key, Value val);
  // Replace the value of an existing key, keeping its position; append when absent.
  Value& set(std::string_view key, Value val);
  // List access
  Value& push(Value v) {
    u_.l->push_back(std::move(v));
    return u_.l->back();
  }
  size_t size() const noexcept {
    switch (kind_) {
      case Kind::String:
        return n_;
      case Kind::List:
        return u_.l->size();
      case Kind::Map:
        return u_.m->size();
      case Kind::Table:
        return table_rows();
      default:
        return 0;
    }
  }

 private:
  static uint32_t text_length(size_t n) {
    if (n > UINT32_MAX) raise(ErrKind::Overflow, "a text of " + std::to_string(n) + " bytes exceeds the 4 GiB limit");
    return static_cast<uint32_t>(n);
  }
  void set_owned(const char* p, size_t n) {
    text_length(n);
    char* buf = new char[n ? n : 1];
    if (n) std::memcpy(buf, p, n);
    u_.p = buf;
    n_ = static_cast<uint32_t>(n);
  }
  // Most values own nothing: their destruction and overwriting stay inline and free.
  bool owns_something() const noexcept {
    return kind_ == Kind::List || kind_ == Kind::Map || kind_ == Kind::Table || mode_ == kOwned;
  }
  size_t table_rows() const noexcept;
  void copy_from(const Value& o);
  void release() noexcept;

  // 24 bytes: a model holds millions of values, so the length of a text shares the
  // first word with the tags (texts are limited to 4 GiB - 1 bytes).
  Kind kind_;
  uint8_t mode_ = kStatic;
  bool tuple_ = false;
  uint32_t n_ = 0;  // bytes of a text, big int's digits or opaque type name
  const void* src_ = nullptr;
  union U {
    bool b;
    int64_t i;
    double d;
    const char* p;
    List* l;
    Map* m;
    Table* t;
  } u_;
};
static_assert(sizeof(Value) == 24);

struct Member {
  Value key;  // a string for every map the core builds; the caller's maps may hold other keys
  Value value;
};

inline Value::Value(Map m) : kind_(Kind::Map) { u_.m = new Map(std::move(m)); }
inline Value& Value::add(Value key, Value val) {
  u_.m->push_back(Member{std::move(key), std::move(val)});
  return u_.m->back().value;
}
inline Value Value::map(size_t reserve) {
  Value v{Map{}};
  v.u_.m->reserve(reserve);
  return v;
}

// The many small rows of a result (a section's symbols, a treemap's leaves) as one
// block of cells, row after row: one allocation a table instead of two a row, and
// keys that are not repeated. It reads and writes as a list of maps.
struct Table {
  const Value* keys;  // `width` static values
  uint32_t width;
  List cells;  // rows * width values

  size_t rows() const noexcept { return width ? cells.size() / width : 0; }
  const Value* row(size_t i) const noexcept { return cells.data() + i * width; }
  // Appends a row of the given values, one per key.
  template <class... V>
  void push(V&&... v) {
    static_assert(sizeof...(V) > 0);
    (cells.emplace_back(std::forward<V>(v)), ...);
  }
};

inline Value Value::table(const Value* keys, uint32_t width, size_t rows) {
  Value v;
  v.u_.t = new Table{keys, width, {}};
  v.kind_ = Kind::Table;
  v.u_.t->cells.reserve(rows * width);
  return v;
}
inline size_t Value::table_rows() const noexcept { return u_.t->rows(); }

// A table as the list of maps it stands for (for the rare reader that needs one).
Value table_as_list(const Value& table);

// A null value with static lifetime, for lookups that return a reference.
const Value& null_value() noexcept;

// ---- Python semantics on values ----

// Python truthiness: null, false, 0, 0.0, "" and empty containers are false.
// An opaque object counts as true (the binding converts objects that define
// __bool__ or __len__ as needed before they reach the core).
inline bool truthy(const Value& v) noexcept {
  switch (v.kind()) {
    case Kind::Null:
      return false;
    case Kind::Bool:
      return v.as_bool();
    case Kind::Int:
      return v.as_int() != 0;
    case Kind::Double:
      return v.as_double() != 0.0;  // NaN is true, as in Python
    case Kind::String:
    case Kind::List:
    case Kind::Map:
    case Kind::Table:
      return v.size() != 0;
    case Kind::Opaque:
      return !v.is_tuple();  // the flag marks an empty container there
    default:
      return true;  // integers beyond 64 bits
  }
}

// type(v).__name__ as Python would print it.
std::string type_name(const Value& v);

// Python ==, with int/float compared exactly and identical source objects equal.
bool py_eq(const Value& a, const Value& b);
// Python <, raising TypeError("'<' not supported between instances of 'X' and 'Y'")
// for values Python cannot order (tuples/lists compare element-wise).
bool py_lt(const Value& a, const Value& b);

// Python's comparison of two tuples of n elements each: the first unequal pair decides.
bool py_lt_seq(const Value* a, const Value* b, size_t n);
// -v for a number (int stays int; OverflowError at the int64 minimum); TypeError otherwise.
Value py_neg(const Value& v);

// int(v): bool, int, double (truncation toward zero), numeric text; OverflowError
// beyond 64 bits, ValueError for NaN or bad text, TypeError otherwise.
int64_t py_int(const Value& v);
// float(v): numbers and numeric text (with inf/nan spellings); ValueError, TypeError.
double py_float(const Value& v);
// Exact comparison of an int64 with a double (as Python compares int and float).
int cmp_int_double(int64_t i, double d) noexcept;  // -1, 0, 1; NaN compares as "unordered" -> 2

// Integer arithmetic that raises OverflowError rather than wrap.
int64_t checked_add(int64_t a, int64_t b);
int64_t checked_sub(int64_t a, int64_t b);
int64_t checked_mul(int64_t a, int64_t b);

// Python +, -, max on numeric values (int stays int, a double involved gives a double);
// TypeError for non-numbers.
Value py_add(const Value& a, const Value& b);
Value py_sub(const Value& a, const Value& b);

// The text form used by str(): strings unchanged, None/True/False, ints in decimal,
// doubles in repr form. Containers and opaque objects go to the host's own str()
// through the foreign text hook (they carry their source object).
std::string text_form(const Value& v);
// Append the text form to out (avoids a temporary for the common string case).
void append_text_form(std::string& out, const Value& v);

// Text of a caller's object that the core cannot print itself. The binding installs
// it once, when it loads; it returns false with the host's error pending.
using ForeignTextFn = bool (*)(const void* src, std::string& out);
void set_foreign_text_hook(ForeignTextFn fn) noexcept;
ForeignTextFn foreign_text_hook() noexcept;

// The host's own comparison of two of its objects (op: 0 for <, 1 for ==), for
// objects the core keeps opaque: their own __lt__ and __eq__ decide, as they would
// in the host. Returns 0 or 1, or -1 with the host's error pending.
using ForeignCompareFn = int (*)(const void* a, const void* b, int op);
void set_foreign_compare_hook(ForeignCompareFn fn) noexcept;
ForeignCompareFn foreign_compare_hook() noexcept;

// Deep structural equality (used by tests and by the JSON path checks).
bool deep_equal(const Value& a, const Value& b);

}  // namespace bv
