#include "core/value/value.hpp"

#include <cmath>
#include <cstdlib>
#include <atomic>
#include <limits>

#include "core/value/text.hpp"

namespace bv {

namespace {
// The host binding's functions, installed once when it loads; they never change
// with the call, so they are no per-call state (atomic only so that a module
// loading in one thread never races a call reading them in another).
std::atomic<ForeignTextFn> g_foreign_text{nullptr};
std::atomic<ForeignCompareFn> g_foreign_compare{nullptr};
}  // namespace

void raise(ErrKind kind, std::string message) { throw Error(kind, std::move(message)); }

const Value& null_value() noexcept {
  static const Value v;
  return v;
}

void Value::copy_from(const Value& o) {
  release();
  kind_ = o.kind_;
  mode_ = o.mode_;
  tuple_ = o.tuple_;
  n_ = o.n_;
  src_ = o.src_;
  switch (o.kind_) {
    case Kind::String:
    case Kind::BigInt:
      if (o.mode_ == kOwned) {
        set_owned(o.u_.p, o.n_);
      } else {
        u_ = o.u_;
      }
      break;
    case Kind::List:
      u_.l = new List(*o.u_.l);
      break;
    case Kind::Map:
      u_.m = new Map(*o.u_.m);
      break;
    case Kind::Table:
      u_.t = new Table(*o.u_.t);
      break;
    default:
      u_ = o.u_;
  }
}

void Value::release() noexcept {
  switch (kind_) {
    case Kind::String:
    case Kind::BigInt:
      if (mode_ == kOwned) delete[] u_.p;
      break;
    case Kind::List:
      delete u_.l;
      break;
    case Kind::Map:
      delete u_.m;
      break;
    case Kind::Table:
      delete u_.t;
      break;
    default:
      break;
  }
  kind_ = Kind::Null;
}

Value table_as_list(const Value& table) {
  const Table& t = table.table();
  Value list = Value::list(t.rows());
  for (size_t i = 0; i < t.rows(); ++i) {
    Value row = Value::map(t.width);
    for (uint32_t k = 0; k < t.width; ++k) row.add(t.keys[k], t.row(i)[k]);
    list.push(std::move(row));
  }
  return list;
}

const Value* Value::find(std::string_view key) const noexcept {
  for (const Member& m : *u_.m) {
    if (m.key.is_str() && m.key.str() == key) return &m.value;
  }
  return nullptr;
}

Value* Value::find(std::string_view key) noexcept {
  for (Member& m : *u_.m) {
    if (m.key.is_str() && m.key.str() == key) return &m.value;
  }
  return nullptr;
}

const Value& Value::get(std::string_view key, const Value& dflt) const noexcept {
  const Value* v = find(key);
  return v ? *v : dflt;
}

Value& Value::set(std::string_view key, Value val) {
  if (Value* v = find(key)) {
    *v = std::move(val);
    return *v;
  }
  return add(Value(key), std::move(val));
}

std::string type_name(const Value& v) {
  switch (v.kind()) {
    case Kind::Null:
      return "NoneType";
    case Kind::Bool:
      return "bool";
    case Kind::Int:
      return "int";
    case Kind::Double:
      return "float";
    case Kind::String:
      return "str";
    case Kind::List:
      return v.is_tuple() ? "tuple" : "list";
    case Kind::Table:
      return "list";
    case Kind::Map:
      return "dict";
    case Kind::Opaque:
      return std::string(v.opaque_type());
    case Kind::BigInt:
      return "int";
  }
  return "object";
}

int cmp_int_double(int64_t i, double d) noexcept {
  if (std::isnan(d)) return 2;
  // Every int64 lies within (-2^63-1, 2^63); compare against the bounds first so the
  // conversions below are exact.
  if (d >= 9223372036854775808.0) return -1;
  if (d < -9223372036854775808.0) return 1;
  double fl = std::floor(d);
  int64_t di = static_cast<int64_t>(fl);
  if (i < di) return -1;
  if (i > di) return 1;
  return fl == d ? 0 : -1;  // i == floor(d) < d when d has a fraction
}

namespace {

bool is_numeric(const Value& v) { return v.is_int() || v.is_double() || v.is_bool(); }

// Compare two numbers exactly: -1, 0, 1, or 2 when either is NaN.
int num_cmp(const Value& a, const Value& b) {
  auto ival = [](const Value& v) -> int64_t { return v.is_bool() ? (v.as_bool() ? 1 : 0) : v.as_int(); };
  bool ad = a.is_double(), bd = b.is_double();
  if (!ad && !bd) {
    int64_t x = ival(a), y = ival(b);
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  if (ad && bd) {
    double x = a.as_double(), y = b.as_double();
    if (std::isnan(x) || std::isnan(y)) return 2;
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  if (ad) {
    int c = cmp_int_double(ival(b), a.as_double());
    return c == 2 ? 2 : -c;
  }
  return cmp_int_double(ival(a), b.as_double());
}

[[noreturn]] void unorderable(const Value& a, const Value& b) {
  raise(ErrKind::Type, "'<' not supported between instances of '" + type_name(a) + "' and '" + type_name(b) + "'");
}

}  // namespace

namespace {
// Both sides came from the caller and one is an object only the host understands.
bool host_compares(const Value& a, const Value& b) {
  return (a.is_opaque() || b.is_opaque()) && a.src() && b.src() && g_foreign_compare;
}
bool host_compare(const Value& a, const Value& b, int op) {
  int r = g_foreign_compare(a.src(), b.src(), op);
  if (r < 0) throw ForeignError();
  return r != 0;
}
}  // namespace

bool py_eq(const Value& a, const Value& b) {
  if (a.src() && a.src() == b.src()) return true;
  if (a.is_table()) return py_eq(table_as_list(a), b);
  if (b.is_table()) return py_eq(a, table_as_list(b));
  if (host_compares(a, b)) return host_compare(a, b, 1);
  if (is_numeric(a) && is_numeric(b)) return num_cmp(a, b) == 0;
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::Null:
      return true;
    case Kind::String:
    case Kind::BigInt:
      return a.str() == b.str();
    case Kind::List: {
      if (a.is_tuple() != b.is_tuple() || a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i)
        if (!py_eq(a.items()[i], b.items()[i])) return false;
      return true;
    }
    case Kind::Map: {
      if (a.size() != b.size()) return false;
      for (const Member& m : a.members()) {
        bool found = false;
        for (const Member& n : b.members()) {
          if (py_eq(m.key, n.key)) {
            if (!py_eq(m.value, n.value)) return false;
            found = true;
            break;
          }
        }
        if (!found) return false;
      }
      return true;
    }
    default:
      return false;  // opaque objects: equal only when identical (checked above)
  }
}

bool py_lt(const Value& a, const Value& b) {
  if (is_numeric(a) && is_numeric(b)) return num_cmp(a, b) == -1;
  if (host_compares(a, b)) return host_compare(a, b, 0);
  if (a.kind() == Kind::String && b.kind() == Kind::String) return a.str() < b.str();  // UTF-8 order == code point order
  if (a.kind() == Kind::List && b.kind() == Kind::List && a.is_tuple() == b.is_tuple()) {
    const List& x = a.items();
    const List& y = b.items();
    size_t n = std::min(x.size(), y.size());
    for (size_t i = 0; i < n; ++i) {
      if (!py_eq(x[i], y[i])) return py_lt(x[i], y[i]);
    }
    return x.size() < y.size();
  }
  unorderable(a, b);
}

bool py_lt_seq(const Value* a, const Value* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (!py_eq(a[i], b[i])) return py_lt(a[i], b[i]);
  }
  return false;
}

Value py_neg(const Value& v) {
  switch (v.kind()) {
    case Kind::Bool:
      return Value(v.as_bool() ? -1 : 0);
    case Kind::Int:
      if (v.as_int() == INT64_MIN) raise(ErrKind::Overflow, "negated integer exceeds the 64-bit range");
      return Value(static_cast<long long>(-v.as_int()));
    case Kind::Double:
      return Value(-v.as_double());
    default:
      raise(ErrKind::Type, "bad operand type for unary -: '" + type_name(v) + "'");
  }
}

int64_t checked_add(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) raise(ErrKind::Overflow, "integer sum exceeds the 64-bit range");
  return r;
}
int64_t checked_sub(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_sub_overflow(a, b, &r)) raise(ErrKind::Overflow, "integer difference exceeds the 64-bit range");
  return r;
}
int64_t checked_mul(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_mul_overflow(a, b, &r)) raise(ErrKind::Overflow, "integer product exceeds the 64-bit range");
  return r;
}

int64_t py_int(const Value& v) {
  switch (v.kind()) {
    case Kind::Bool:
      return v.as_bool() ? 1 : 0;
    case Kind::Int:
      return v.as_int();
    case Kind::Double: {
      double d = v.as_double();
      if (std::isnan(d)) raise(ErrKind::Value, "cannot convert float NaN to integer");
      if (std::isinf(d)) raise(ErrKind::Overflow, "cannot convert float infinity to integer");
      double t = std::trunc(d);
      if (t >= 9223372036854775808.0 || t < -9223372036854775808.0)
        raise(ErrKind::Overflow, "integer " + repr_double(t) + " exceeds the 64-bit range");
      return static_cast<int64_t>(t);
    }
    case Kind::String:
      return parse_int_text(v.str());
    case Kind::BigInt:
      raise(ErrKind::Overflow, "integer " + std::string(v.big_digits()) + " does not fit in 64 bits");
    default:
      raise(ErrKind::Type, "int() argument must be a string, a bytes-like object or a real number, not '" +
                               type_name(v) + "'");
  }
}

double py_float(const Value& v) {
  switch (v.kind()) {
    case Kind::Bool:
      return v.as_bool() ? 1.0 : 0.0;
    case Kind::Int:
      return static_cast<double>(v.as_int());
    case Kind::Double:
      return v.as_double();
    case Kind::String:
      return parse_float_text(v.str());
    case Kind::BigInt: {
      double d = std::strtod(std::string(v.big_digits()).c_str(), nullptr);
      if (std::isinf(d)) raise(ErrKind::Overflow, "int too large to convert to float");
      return d;
    }
    default:
      raise(ErrKind::Type, "float() argument must be a string or a real number, not '" + type_name(v) + "'");
  }
}

namespace {
int64_t as_i64(const Value& v) { return v.is_bool() ? (v.as_bool() ? 1 : 0) : v.as_int(); }
[[noreturn]] void bad_operands(const char* op, const Value& a, const Value& b) {
  raise(ErrKind::Type,
        std::string("unsupported operand type(s) for ") + op + ": '" + type_name(a) + "' and '" + type_name(b) + "'");
}
}  // namespace

Value py_add(const Value& a, const Value& b) {
  if (!is_numeric(a) || !is_numeric(b)) bad_operands("+", a, b);
  if (a.is_double() || b.is_double()) return Value(py_float(a) + py_float(b));
  return Value(static_cast<long long>(checked_add(as_i64(a), as_i64(b))));
}

Value py_sub(const Value& a, const Value& b) {
  if (!is_numeric(a) || !is_numeric(b)) bad_operands("-", a, b);
  if (a.is_double() || b.is_double()) return Value(py_float(a) - py_float(b));
  return Value(static_cast<long long>(checked_sub(as_i64(a), as_i64(b))));
}


void set_foreign_compare_hook(ForeignCompareFn fn) noexcept { g_foreign_compare.store(fn, std::memory_order_relaxed); }
ForeignCompareFn foreign_compare_hook() noexcept { return g_foreign_compare.load(std::memory_order_relaxed); }

void set_foreign_text_hook(ForeignTextFn fn) noexcept { g_foreign_text.store(fn, std::memory_order_relaxed); }
ForeignTextFn foreign_text_hook() noexcept { return g_foreign_text.load(std::memory_order_relaxed); }

void append_text_form(std::string& out, const Value& v) {
  switch (v.kind()) {
    case Kind::Null:
      out += "None";
      return;
    case Kind::Bool:
      out += v.as_bool() ? "True" : "False";
      return;
    case Kind::Int:
      append_int(out, v.as_int());
      return;
    case Kind::Double:
      append_repr_double(out, v.as_double());
      return;
    case Kind::String:
      out.append(v.str());
      return;
    case Kind::BigInt:
      out.append(v.big_digits());
      return;
    default:
      break;
  }
  if (v.src() && g_foreign_text) {
    std::string text;
    if (!g_foreign_text(v.src(), text)) throw ForeignError();
    out += text;
    return;
  }
  raise(ErrKind::Runtime, "no text form for a " + type_name(v) + " built by the core");
}

std::string text_form(const Value& v) {
  if (v.is_str()) return std::string(v.str());
  std::string out;
  append_text_form(out, v);
  return out;
}

bool deep_equal(const Value& a, const Value& b) {
  // A table equals the list of maps it stands for.
  if (a.is_table()) return deep_equal(table_as_list(a), b);
  if (b.is_table()) return deep_equal(a, table_as_list(b));
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::Null:
      return true;
    case Kind::Bool:
      return a.as_bool() == b.as_bool();
    case Kind::Int:
      return a.as_int() == b.as_int();
    case Kind::Double: {
      double x = a.as_double(), y = b.as_double();
      return (std::isnan(x) && std::isnan(y)) || std::memcmp(&x, &y, sizeof x) == 0;
    }
    case Kind::String:
    case Kind::BigInt:
      return a.str() == b.str();
    case Kind::List:
      if (a.size() != b.size() || a.is_tuple() != b.is_tuple()) return false;
      for (size_t i = 0; i < a.size(); ++i)
        if (!deep_equal(a.items()[i], b.items()[i])) return false;
      return true;
    case Kind::Map:
      if (a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i) {
        if (!deep_equal(a.members()[i].key, b.members()[i].key)) return false;
        if (!deep_equal(a.members()[i].value, b.members()[i].value)) return false;
      }
      return true;
    case Kind::Opaque:
      return a.src() == b.src();
    case Kind::Table:
      break;  // compared as lists above
  }
  return false;
}

}  // namespace bv
