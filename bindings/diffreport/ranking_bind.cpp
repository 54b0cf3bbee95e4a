// Python entry points of the entry ranking, the loose coercion helpers and the
// console summary.
#include <algorithm>
#include <cmath>
#include <deque>
#include <utility>
#include <vector>

#include "bindings/diffreport/methods.hpp"
#include "diff/diffreport/coercion.hpp"
#include "diff/diffreport/console_summary.hpp"
#include "diff/diffreport/ranking.hpp"

namespace bvpy::diffreport {

namespace {

namespace dr = bv::diffreport;

PyObject* obj_of(const bv::Value& v) { return const_cast<PyObject*>(static_cast<const PyObject*>(v.src())); }

// A value read from the caller, kept as the caller's own object (o must stay alive
// for the whole call). Scalars get their core form for comparisons; an int beyond
// 64 bits and every other object stay opaque, since the ranking only passes them
// through or hands them back to float()/int().
bv::Value pass_through(Call& c, PyObject* o) {
  if (o == Py_None) return bv::Value();
  if (o == Py_True) return bv::Value(true);
  if (o == Py_False) return bv::Value(false);
  bv::Value v;
  if (PyUnicode_Check(o)) {
    std::string_view s = c.utf8(o);
    return bv::Value::borrowed_str(s.data(), s.size(), o);
  }
  if (PyLong_Check(o)) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (x == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (overflow) return bv::Value::opaque(o, Py_TYPE(o)->tp_name);
    v = bv::Value(x);
  } else if (PyFloat_Check(o)) {
    v = bv::Value(PyFloat_AS_DOUBLE(o));
  } else {
    return bv::Value::opaque(o, Py_TYPE(o)->tp_name);
  }
  v.set_src(o);
  return v;
}

// float(v) of a value read from an entry, with the host's rules.
double host_float(const bv::Value& v) {
  PyObject* o = obj_of(v);
  if (!o || PyFloat_CheckExact(o) || (PyLong_CheckExact(o) && v.is_int())) return bv::py_float(v);
  // Text, subclasses, big ints and the caller's own number types: float() itself.
  PyObject* f = check(PyNumber_Float(o));
  double d = PyFloat_AS_DOUBLE(f);
  Py_DECREF(f);
  return d;
}

// How many of n ranked entries lst[:limit] keeps (limit null: not given, so 10).
size_t limit_end(PyObject* limit, size_t n) {
  if (limit == Py_None) return n;
  if (!limit) return dr::slice_count(n, 10);
  if (!PyIndex_Check(limit)) {
    PyErr_SetString(PyExc_TypeError, "slice indices must be integers or None or have an __index__ method");
    throw PyErrorSet{};
  }
  // Clamped on overflow, as slicing clamps.
  Py_ssize_t lim = PyNumber_AsSsize_t(limit, nullptr);
  if (lim == -1 && PyErr_Occurred()) throw PyErrorSet{};
  return dr::slice_count(n, static_cast<int64_t>(lim));
}

class PyEntries final : public dr::EntrySource {
 public:
  PyEntries(Call& c, PyObject* entries, PyObject* limit, PyObject* min_size)
      : c_(c), items_(c.sequence(entries)), limit_(limit), min_size_obj_(min_size) {
    if (min_size) min_size_ = pass_through(c, min_size);
  }

  const bv::Value& min_size() const { return min_size_; }
  size_t size() const override { return items_.size(); }

  bv::Value read(size_t i, dr::EntryField f) override {
    static constexpr N kNames[] = {N::kind, N::name, N::delta, N::delta_pct, N::status, N::current};
    return pass_through(c_, c_.attr_obj(items_[i], kNames[static_cast<int>(f)]));
  }

  double to_float(const bv::Value& v) override { return host_float(v); }

  int64_t to_int(const bv::Value& v) override {
    PyObject* o = obj_of(v);
    if (!o || PyFloat_CheckExact(o) || (PyLong_CheckExact(o) && v.is_int())) return bv::py_int(v);
    PyObject* i = check(PyNumber_Long(o));
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(i, &overflow);
    Py_DECREF(i);
    if (x == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (overflow) bv::raise(bv::ErrKind::Overflow, "current size does not fit in 64 bits");
    return x;
  }

  size_t slice_end(size_t n) override { return limit_end(limit_, n); }

  bool size_at_least(int64_t size) override {
    if (!min_size_.is_opaque()) return dr::int_at_least(size, min_size_);
    // The caller's own number type (or an int beyond 64 bits): Python's comparison.
    PyObject* s = check(PyLong_FromLongLong(size));
    int r = PyObject_RichCompareBool(s, min_size_obj_, Py_GE);
    Py_DECREF(s);
    if (r < 0) throw PyErrorSet{};
    return r == 1;
  }

 private:
  Call& c_;
  std::vector<PyObject*> items_;  // list(entries), taken once: held by the call
  PyObject* limit_;
  PyObject* min_size_obj_;
  bv::Value min_size_;
};

const ArgSpec kRegressionsSpec{"rank_top_regressions", {"entries", "limit"}, 1, 1, {false}};
const ArgSpec kReductionsSpec{"rank_top_reductions", {"entries", "limit"}, 1, 1, {false}};
const ArgSpec kAddedSpec{"added_large_symbols", {"entries", "min_size_bytes"}, 1, 1, {false}};

// float(entry.delta): exact floats and ints directly, anything else as the host has it.
double delta_float(Call& c, PyObject* o) {
  if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
  if (PyLong_CheckExact(o)) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (x == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (!overflow) return static_cast<double>(x);  // correctly rounded, as float(int) is
  }
  return host_float(pass_through(c, o));
}

// What the ranking reads of the entries: those that move the asked way, with their
// keys, kinds and names.
struct DeltaEntries {
  struct Kept {
    PyObject* entry;
    PyObject* delta;
  };
  std::vector<Kept> kept;
  std::vector<double> keys;
  std::vector<PyObject*> kinds, names;
  bool all_text = true;
  bool borrowed = false;  // the entries' own references keep these alive, not the call's
};

// The common case, read in place: every entry of one class whose delta, kind and name
// are plain slots, holding exact numbers and exact texts, and a limit that is None or
// an exact int. Nothing of the caller's runs while they are read and ranked, so the
// entries' own references keep every object alive and none is taken. False, with
// nothing seen by the caller (no code ran), for anything else.
bool read_plain_entries(Call& c, PyObject* seq, bool is_list, PyObject* limit, bool growth, DeltaEntries& e) {
  if (limit && limit != Py_None && !PyLong_CheckExact(limit)) return false;
  const Py_ssize_t n = is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
  if (n == 0) return false;
  PyObject* const* items =
      is_list ? reinterpret_cast<PyListObject*>(seq)->ob_item : reinterpret_cast<PyTupleObject*>(seq)->ob_item;
  const PlainSlots slots(c, Py_TYPE(items[0]), {N::delta, N::kind, N::name});
  if (!slots.all()) return false;
  e.kept.reserve(static_cast<size_t>(n) / 2 + 1);  // about half of a diff's entries move each way
  e.keys.reserve(static_cast<size_t>(n) / 2 + 1);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* entry = items[i];
    PyObject* delta = slots.get(entry, 0);
    if (!delta) return false;
    double d;
    if (PyFloat_CheckExact(delta)) {
      d = PyFloat_AS_DOUBLE(delta);
    } else if (PyLong_CheckExact(delta)) {
      int overflow = 0;
      const long long x = PyLong_AsLongLongAndOverflow(delta, &overflow);
      if (overflow) return false;
      d = static_cast<double>(x);  // correctly rounded, as float(int) is
    } else {
      return false;
    }
    if (!dr::kept_delta(d, growth)) continue;
    PyObject* kind = slots.get(entry, 1);
    PyObject* name = slots.get(entry, 2);
    if (!kind || !name || !PyUnicode_CheckExact(kind) || !PyUnicode_CheckExact(name)) return false;
    e.kept.push_back({entry, delta});
    e.keys.push_back(dr::delta_key(d, growth));
    e.kinds.push_back(kind);
    e.names.push_back(name);
  }
  e.borrowed = true;
  return true;
}

// Any entries, read as the plain loop reads them: the deltas of every entry, then kind
// and name of the kept ones, each attribute once and in that order, every object held
// by the call. A list or tuple is walked as a loop over it walks it (a list's length
// read at each step), each entry held while its delta is read.
void read_entries(Call& c, PyObject* seq, bool is_list, bool growth, DeltaEntries& e) {
  auto length = [&]() { return static_cast<size_t>(is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq)); };
  e.kept.reserve(length() / 2 + 1);
  e.keys.reserve(length() / 2 + 1);
  c.expect_refs(length() + 2);
  for (size_t i = 0; i < length(); ++i) {
    PyObject* entry = Py_NewRef(is_list ? PyList_GET_ITEM(seq, static_cast<Py_ssize_t>(i))
                                        : PyTuple_GET_ITEM(seq, static_cast<Py_ssize_t>(i)));
    PyObject* delta = PyObject_GetAttr(entry, c.name(N::delta));
    double d = 0;
    try {
      if (!delta) throw PyErrorSet{};
      d = delta_float(c, delta);
    } catch (...) {
      Py_XDECREF(delta);
      Py_DECREF(entry);
      throw;
    }
    if (dr::kept_delta(d, growth)) {
      if (e.kept.size() == UINT32_MAX) {  // a list that grew while it was read
        Py_DECREF(delta);
        Py_DECREF(entry);
        bv::raise(bv::ErrKind::Overflow, "too many diff entries to rank");
      }
      e.kept.push_back({c.keep(entry), c.keep(delta)});
      e.keys.push_back(dr::delta_key(d, growth));
    } else {
      Py_DECREF(delta);
      Py_DECREF(entry);
    }
  }
  const size_t m = e.kept.size();
  c.expect_refs(2 * m);
  e.kinds.resize(m);
  e.names.resize(m);
  for (size_t j = 0; j < m; ++j) {
    e.kinds[j] = c.keep(check(PyObject_GetAttr(e.kept[j].entry, c.name(N::kind))));
    e.names[j] = c.keep(check(PyObject_GetAttr(e.kept[j].entry, c.name(N::name))));
    e.all_text = e.all_text && PyUnicode_Check(e.kinds[j]) && PyUnicode_Check(e.names[j]);
  }
}

// Regressions or reductions, read straight into typed keys, then kind and name of the
// kept ones, then delta_pct and status of the ones that reach the output. The maps are
// made from the caller's own objects, so nothing is converted on the way out.
PyObject* rank_by_delta(Call& c, PyObject* entries, PyObject* limit, bool growth) {
  PyObject* seq = PyList_CheckExact(entries) || PyTuple_CheckExact(entries)
                     ? entries
                     : c.keep(check(PySequence_List(entries)));  // "'X' object is not iterable"
  const bool is_list = PyList_CheckExact(seq);
  const size_t length = static_cast<size_t>(is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq));
  if (length > UINT32_MAX) bv::raise(bv::ErrKind::Overflow, "too many diff entries to rank");

  DeltaEntries e;
  if (!read_plain_entries(c, seq, is_list, limit, growth, e)) {
    e = DeltaEntries();
    read_entries(c, seq, is_list, growth, e);
  }
  const size_t m = e.kept.size();
  const std::vector<DeltaEntries::Kept>& kept = e.kept;
  const std::vector<PyObject*>& kinds = e.kinds;
  const std::vector<PyObject*>& names = e.names;
  std::vector<uint32_t> order;
  if (e.all_text) {
    // Texts compare without running the caller's code, so only the entries that can
    // reach the kept places need their texts looked at. Read in place, those are held
    // first: from here on objects are made, and a collection could run the caller's code.
    const size_t end = limit_end(limit, m);
    const std::vector<uint32_t> candidates = dr::rank_candidates(e.keys, end);
    if (e.borrowed) {
      c.expect_refs(4 * candidates.size());
      for (uint32_t j : candidates) {
        c.hold(kept[j].entry);
        c.hold(kept[j].delta);
        c.hold(kinds[j]);
        c.hold(names[j]);
      }
    }
    std::vector<dr::TextRankKey> text_keys;
    text_keys.reserve(candidates.size());
    for (uint32_t j : candidates)
      text_keys.push_back(dr::text_rank_key(e.keys[j], c.utf8(kinds[j]), c.utf8(names[j]), j));
    order = dr::text_rank_order(text_keys, end);
  } else {
    std::vector<bv::Value> kind_values(m), name_values(m);
    for (size_t j = 0; j < m; ++j) {
      kind_values[j] = pass_through(c, kinds[j]);
      name_values[j] = pass_through(c, names[j]);
    }
    order = dr::value_rank_order(e.keys, kind_values, name_values,
                                 [&](size_t count) { return limit_end(limit, count); });
  }

  PyObject* out = check(PyList_New(static_cast<Py_ssize_t>(order.size())));
  try {
    for (size_t r = 0; r < order.size(); ++r) {
      const uint32_t j = order[r];
      PyObject* row = check(PyDict_New());
      PyList_SET_ITEM(out, static_cast<Py_ssize_t>(r), row);
      PyObject* pct = c.keep(check(PyObject_GetAttr(kept[j].entry, c.name(N::delta_pct))));
      PyObject* status = c.keep(check(PyObject_GetAttr(kept[j].entry, c.name(N::status))));
      if (PyDict_SetItem(row, c.name(N::kind), kinds[j]) < 0 || PyDict_SetItem(row, c.name(N::name), names[j]) < 0 ||
          PyDict_SetItem(row, c.name(N::delta), kept[j].delta) < 0 ||
          PyDict_SetItem(row, c.name(N::delta_pct), pct) < 0 || PyDict_SetItem(row, c.name(N::status), status) < 0)
        throw PyErrorSet{};
    }
  } catch (...) {
    Py_DECREF(out);
    throw;
  }
  return out;
}

PyObject* rank_entry(const ArgSpec& spec, bool growth, PyObject* m, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    bind_args(spec, args, nargs, kw, a);
    Call c(m);
    return rank_by_delta(c, a[0], a[1], growth);
  });
}

PyObject* py_rank_top_regressions(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return rank_entry(kRegressionsSpec, true, m, args, nargs, kw);
}

PyObject* py_rank_top_reductions(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return rank_entry(kReductionsSpec, false, m, args, nargs, kw);
}

PyObject* py_added_large_symbols(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    bind_args(kAddedSpec, args, nargs, kw, a);
    Call c(m);
    PyObject* min_size = a[1] ? a[1] : c.keep(check(PyLong_FromLong(1024)));
    PyEntries entries(c, a[0], Py_None, min_size);
    return to_python(dr::added_large_symbols(entries, entries.min_size()));
  });
}

// ---- coercion helpers ----

const ArgSpec kAsListSpec{"_as_list", {"value"}, 1, 1, {}};
const ArgSpec kAsMappingSpec{"_as_mapping", {"value"}, 1, 1, {}};
const ArgSpec kAsNumberSpec{"_as_number", {"value"}, 1, 1, {}};

// The text form of a map key as a str object kept alive by the call: a str key is
// itself, any other key its str().
std::string_view key_text(Call& c, PyObject* k, PyObject** text_obj) {
  if (!PyUnicode_CheckExact(k)) k = c.keep(check(PyObject_Str(k)));
  *text_obj = k;
  return c.utf8(k);
}

PyObject* py_as_list(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    bind_args(kAsListSpec, args, nargs, kw, a);
    // The very list, not a copy: the renderers read it in place.
    if (PyList_Check(a[0])) return Py_NewRef(a[0]);
    return check(PyList_New(0));
  });
}

PyObject* py_as_mapping(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    bind_args(kAsMappingSpec, args, nargs, kw, a);
    if (!PyDict_Check(a[0])) return check(PyDict_New());
    Call c(m);
    const auto pairs = c.items(a[0]);
    bv::Value src = bv::Value::map(pairs.size());
    for (const auto& [key, value] : pairs) {
      PyObject* text_obj = nullptr;
      std::string_view text = key_text(c, key, &text_obj);
      src.add(bv::Value::borrowed_str(text.data(), text.size(), text_obj), pass_through(c, value));
    }
    return to_python(dr::as_mapping(src));
  });
}

// A number for _as_number: bools, ints and floats (and their subclasses) as core
// numbers; an int beyond the double range as the infinity of its sign; anything
// else null. Never fails.
bv::Value loose_number(PyObject* o) {
  if (PyBool_Check(o)) return bv::Value(o == Py_True);
  if (PyLong_Check(o)) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (x == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return bv::Value();
    }
    if (!overflow) return bv::Value(x);
    double d = PyLong_AsDouble(o);  // nearest double
    if (d == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      d = overflow > 0 ? HUGE_VAL : -HUGE_VAL;
    }
    return bv::Value(d);
  }
  if (PyFloat_Check(o)) return bv::Value(PyFloat_AS_DOUBLE(o));
  return bv::Value();
}

PyObject* py_as_number(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    bind_args(kAsNumberSpec, args, nargs, kw, a);
    return check(PyFloat_FromDouble(dr::as_number(loose_number(a[0]))));
  });
}

// ---- console summary ----

const ArgSpec kConsoleSpec{"render_diff_console_summary", {"diff_payload", "output_paths"}, 1, 1, {false}};

// A value that is printed: exact scalars in core form (ints beyond 64 bits shown by
// their digits); any other object keeps its own str() and its own truthiness.
bv::Value printable(Call& c, PyObject* o) {
  if (o == Py_None || o == Py_True || o == Py_False || PyUnicode_CheckExact(o) || PyLong_CheckExact(o) ||
      PyFloat_CheckExact(o))
    return c.shallow(o);
  int t = PyObject_IsTrue(o);
  if (t < 0) throw PyErrorSet{};
  c.hold(o);
  if (t) return bv::Value::opaque(o, Py_TYPE(o)->tp_name);
  // A falsy object: an empty value that is not a list, printed through its own str().
  bv::Value v = bv::Value::list();
  v.mark_tuple();
  v.set_src(o);
  return v;
}

// One item of a ranked list as a map of the three keys printed, each holding the
// value of the last key whose text form matches (as _as_mapping would keep it).
// The values under other keys are never converted.
bv::Value ranked_row(Call& c, PyObject* item) {
  if (!PyDict_Check(item)) return bv::Value();
  static constexpr std::string_view kKeys[] = {"kind", "name", "delta"};
  PyObject* found[3] = {nullptr, nullptr, nullptr};
  for (const auto& [key, value] : c.items(item)) {
    PyObject* text_obj = nullptr;
    std::string_view text = key_text(c, key, &text_obj);
    for (int k = 0; k < 3; ++k)
      if (text == kKeys[k]) found[k] = value;
  }
  bv::Value row = bv::Value::map(3);
  if (found[0]) row.add("kind", printable(c, found[0]));
  if (found[1]) row.add("name", printable(c, found[1]));
  if (found[2]) row.add("delta", printable(c, found[2]));
  return row;
}

// The first rows of a ranked list (the summary never shows more), or null for a
// value that is not a list.
bv::Value ranked_rows(Call& c, PyObject* v) {
  if (!PyList_Check(v)) return bv::Value();
  // A copy of the first rows: converting one may run code that changes the list.
  PyObject* head = c.keep(check(PyList_GetSlice(v, 0, static_cast<Py_ssize_t>(dr::kConsoleRankedRows))));
  std::vector<PyObject*> items(static_cast<size_t>(PyList_GET_SIZE(head)));
  for (size_t i = 0; i < items.size(); ++i) items[i] = PyList_GET_ITEM(head, static_cast<Py_ssize_t>(i));
  bv::Value out = bv::Value::list(items.size());
  for (PyObject* item : items) out.push(ranked_row(c, item));
  return out;
}

class PyPayload final : public dr::PayloadView {
 public:
  PyPayload(Call& c, PyObject* payload) : c_(c), payload_(payload) {}

  const bv::Value* get(std::string_view key) override {
    PyObject* v = c_.map_get(payload_, key);
    if (!v) return nullptr;
    if (key == "top_regressions" || key == "top_reductions")
      values_.push_back(ranked_rows(c_, v));
    else if (key == "flash_delta_bytes" || key == "ram_delta_bytes")
      values_.push_back(loose_number(v));
    else
      values_.push_back(printable(c_, v));
    return &values_.back();
  }

 private:
  Call& c_;
  PyObject* payload_;
  std::deque<bv::Value> values_;  // stable addresses for the pointers handed out
};

// output_paths as a map from name to path; null when it is falsy. Anything truthy
// is asked for its items(), so a value that is not a map fails there.
bv::Value output_paths_value(Call& c, PyObject* op) {
  if (!op || op == Py_None) return bv::Value();
  int t = PyObject_IsTrue(op);
  if (t < 0) throw PyErrorSet{};
  if (!t) return bv::Value();
  const auto pairs = c.items(op);
  bv::Value out = bv::Value::map(pairs.size());
  for (const auto& [name, path] : pairs) out.add(printable(c, name), printable(c, path));
  return out;
}

PyObject* py_render_diff_console_summary(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    bind_args(kConsoleSpec, args, nargs, kw, a);
    Call c(m);
    c.allow_big_ints();
    // A payload without get() fails before anything else is read.
    if (!PyDict_Check(a[0])) c.attr_obj(a[0], N::get);
    bv::Value outputs = output_paths_value(c, a[1]);
    PyPayload payload(c, a[0]);
    return new_string(dr::render_diff_console_summary(payload, outputs));
  });
}

PyMethodDef kMethods[] = {
    {"rank_top_regressions", BV_FASTCALL(py_rank_top_regressions),
     "rank_top_regressions(entries, *, limit=10)\n--\n\nThe entries that grew (float delta > 0), largest first, "
     "as maps of kind, name, delta, delta_pct and status; ties by kind, then name."},
    {"rank_top_reductions", BV_FASTCALL(py_rank_top_reductions),
     "rank_top_reductions(entries, *, limit=10)\n--\n\nThe entries that shrank (float delta < 0), most negative "
     "first, as maps of kind, name, delta, delta_pct and status; ties by kind, then name."},
    {"added_large_symbols", BV_FASTCALL(py_added_large_symbols),
     "added_large_symbols(entries, *, min_size_bytes=1024)\n--\n\nAdded symbol entries of at least min_size_bytes, "
     "largest first, as maps of name, size and min_size_bytes."},
    {"render_diff_console_summary", BV_FASTCALL(py_render_diff_console_summary),
     "render_diff_console_summary(diff_payload, *, output_paths=None)\n--\n\nThe plain-text summary of a diff "
     "payload (lines joined by line feeds, none at the end)."},
    {"_as_list", BV_FASTCALL(py_as_list), "_as_list(value)\n--\n\nvalue itself when it is a list, else []."},
    {"_as_mapping", BV_FASTCALL(py_as_mapping),
     "_as_mapping(value)\n--\n\nA new dict of value's items with str() keys, or {} when value is not a dict."},
    {"_as_number", BV_FASTCALL(py_as_number),
     "_as_number(value)\n--\n\nvalue as a float when it is an int or a float (bools give 0.0), else 0.0."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyMethodDef* ranking_methods() { return kMethods; }

}  // namespace bvpy::diffreport
