// Python entry points of the HTML report page and its fragments.
#include "bindings/diffreport/methods.hpp"
#include "core/value/memory_hints.hpp"
#include "diff/diffreport/html_fragments.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "core/value/json_spelling.hpp"
#include "core/value/text.hpp"

namespace bvpy::diffreport {

namespace {

namespace dr = bv::diffreport;

PyObject* text_result(const std::string& s) { return new_string(s); }

// Printable ASCII that neither json nor the markup escape touches.
constexpr std::array<bool, 256> plain_table() {
  std::array<bool, 256> t{};
  for (int c = 0x20; c < 0x7f; ++c) t[static_cast<size_t>(c)] = true;
  for (char c : {'"', '\\', '&', '<', '>', '\''}) t[static_cast<unsigned char>(c)] = false;
  return t;
}
constexpr std::array<bool, 256> kPlain = plain_table();

// The page written straight into the str that is returned, in the str's own storage
// (one, two or four bytes per character, as the page's widest character needs). The
// str grows in place (a large block is remapped, not copied), so the page's tens of
// megabytes are written exactly once.
template <class Char>
class PyTextSink {
 public:
  PyTextSink(size_t capacity, Py_UCS4 maxchar) : cap_(static_cast<Py_ssize_t>(capacity)) {
    obj_ = check(PyUnicode_New(cap_, maxchar));
    data_ = static_cast<Char*>(PyUnicode_DATA(obj_));
    bv::advise_huge_pages(data_, static_cast<size_t>(cap_) * sizeof(Char));
  }
  ~PyTextSink() { Py_XDECREF(obj_); }
  PyTextSink(const PyTextSink&) = delete;
  PyTextSink& operator=(const PyTextSink&) = delete;

  // ASCII text (all the dump writer produces), widened as it is written: the writer
  // hands over short tokens, and a wide page costs no copy through a buffer.
  PyTextSink& operator+=(std::string_view s) {
    const auto n = static_cast<Py_ssize_t>(s.size());
    if (cap_ - len_ < n) grow(n);
    if constexpr (sizeof(Char) == 1) {
      std::memcpy(data_ + len_, s.data(), s.size());
    } else {
      Char* w = data_ + len_;
      for (char ch : s) *w++ = static_cast<Char>(static_cast<unsigned char>(ch));
    }
    len_ += n;
    return *this;
  }
  PyTextSink& operator+=(char c) {
    if (len_ == cap_) grow(1);
    data_[len_++] = static_cast<Char>(static_cast<unsigned char>(c));
    return *this;
  }
  // Any str whose characters fit this sink's width.
  void append(PyObject* text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (cap_ - len_ < n) grow(n);
    if (PyUnicode_CopyCharacters(obj_, len_, text, 0, n) < 0) throw PyErrorSet{};
    len_ += n;
  }
  // The finished str (its length trimmed to what was written).
  PyObject* finish() {
    if (PyUnicode_Resize(&obj_, len_) < 0) throw PyErrorSet{};
    PyObject* out = obj_;
    obj_ = nullptr;
    return out;
  }

 private:
  void grow(Py_ssize_t need) {
    Py_ssize_t cap = std::max(cap_ * 2, len_ + need);
    if (PyUnicode_Resize(&obj_, cap) < 0) throw PyErrorSet{};
    cap_ = cap;
    data_ = static_cast<Char*>(PyUnicode_DATA(obj_));
    bv::advise_huge_pages(data_, static_cast<size_t>(cap_) * sizeof(Char));
  }

  PyObject* obj_ = nullptr;
  Char* data_ = nullptr;
  Py_ssize_t len_ = 0;
  Py_ssize_t cap_;
};

// Output that is thrown away: a dump written only to learn whether it fails.
struct NullSink {
  NullSink& operator+=(std::string_view) { return *this; }
  NullSink& operator+=(char) { return *this; }
};

// The raw dumps of the page: json.dumps(items, indent=2) (ASCII only) followed by the
// markup escape, written in one pass straight from the caller's objects. The dumps are
// nearly the whole page (a large build's symbol list runs to tens of megabytes), and
// going through an intermediate value tree and a separate escape pass cost more than
// the host's own json module takes for the same list.
template <class Sink>
class HtmlJsonDump {
 public:
  explicit HtmlJsonDump(Sink& out) : out_(out) {}
  ~HtmlJsonDump() {
    for (KeyText& k : keys_) Py_XDECREF(k.key);
  }
  HtmlJsonDump(const HtmlJsonDump&) = delete;
  HtmlJsonDump& operator=(const HtmlJsonDump&) = delete;

  void write(PyObject* o) { write_value(o, 0); }

 private:
  // The markup entity of an ASCII character that json leaves as it is, or null.
  static const char* entity(unsigned char ch) {
    switch (ch) {
      case '&': return "&amp;";
      case '<': return "&lt;";
      case '>': return "&gt;";
      case '\'': return "&#x27;";
      default: return nullptr;
    }
  }

  void newline(int depth) {
    size_t n = 1 + 2 * static_cast<size_t>(depth);
    if (indent_.size() < n) indent_.resize(n + 64, ' ');
    indent_[0] = '\n';
    out_ += std::string_view(indent_.data(), n);
  }

  template <class Out>
  static void code_point(Out& out, uint32_t cp) {
    if (cp == '"') {
      out += "\\&quot;";  // json's \" with its quote escaped as markup
      return;
    }
    if (const char e = bv::json::short_escape(cp)) {
      const char esc[2] = {'\\', e};
      out += std::string_view(esc, 2);
      return;
    }
    if (cp >= 0x20 && cp < 0x7f) {
      if (const char* e = entity(static_cast<unsigned char>(cp)))
        out += std::string_view(e);
      else
        out += static_cast<char>(cp);
      return;
    }
    char buf[12];
    out += std::string_view(buf, static_cast<size_t>(bv::json::put_code_point_escape(buf, cp) - buf));
  }

  void string(PyObject* s) { string_to(out_, s); }

  template <class Out>
  static void string_to(Out& out, PyObject* s) {
    out += "&quot;";
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    if (kind == PyUnicode_1BYTE_KIND) {
      const unsigned char* p = static_cast<const unsigned char*>(data);
      const unsigned char* end = p + n;
      while (p < end) {
        // Copy runs of characters that need nothing, then handle one that does.
        const unsigned char* run = p;
        while (p < end && kPlain[*p]) ++p;
        out += std::string_view(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
        if (p < end) code_point(out, *p++);
      }
    } else {
      for (Py_ssize_t i = 0; i < n; ++i) code_point(out, PyUnicode_READ(kind, data, i));
    }
    out += "&quot;";
  }

  void float_text(PyObject* o) {
    double d = PyFloat_AS_DOUBLE(o);
    if (const std::string_view name = bv::json::nonfinite(d); !name.empty())
      out_ += name;
    else {
      number_.clear();
      bv::append_repr_double(number_, d);
      out_ += number_;
    }
  }

  void int_text(PyObject* o) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (!overflow) {
      if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
      number_.clear();
      bv::append_int(number_, v);
      out_ += number_;
      return;
    }
    // int.__repr__, as json uses for subclasses too: the exact digits of any size.
    PyObject* r = check(PyLong_Type.tp_repr(o));
    Py_ssize_t len = 0;
    const char* p = PyUnicode_AsUTF8AndSize(r, &len);
    if (p) out_ += std::string_view(p, static_cast<size_t>(len));
    Py_DECREF(r);
    if (!p) throw PyErrorSet{};
  }

  // Everything a member of an exact str key writes before its value: the comma, the
  // line and its indent, the key and ": " (without the comma for a first member).
  // Every record of a list names the same few keys, mostly the very same objects, at
  // the same depth: their written form is kept, with a reference, so an object's
  // address names it, and a member costs the sink one piece instead of four.
  // Two keys of one record may share a slot: the next few are tried before the
  // first is taken over, or the pair would evict each other at every record.
  std::string_view member_lead(PyObject* k, int depth) {
    const size_t home = static_cast<size_t>((reinterpret_cast<uintptr_t>(k) >> 4) * 0x9E3779B97F4A7C15ull >> 58);
    KeyText* slot = &keys_[home];  // taken over when the probes find neither the key nor room
    for (size_t probe = 0; probe < kKeyProbes; ++probe) {
      KeyText& s = keys_[(home + probe) % kKeySlots];
      if (s.key == k && s.depth == depth) return s.text;
      if (!s.key) {
        slot = &s;
        break;
      }
    }
    Py_XSETREF(slot->key, Py_NewRef(k));
    slot->depth = depth;
    slot->text.assign(",\n");
    slot->text.append(2 * static_cast<size_t>(depth), ' ');
    string_to(slot->text, k);
    slot->text += ": ";
    return slot->text;
  }

  void key(PyObject* k) {
    if (PyUnicode_Check(k)) {
      string(k);
    } else if (PyFloat_Check(k)) {
      out_ += "&quot;";
      float_text(k);
      out_ += "&quot;";
    } else if (k == Py_True) {
      out_ += "&quot;true&quot;";
    } else if (k == Py_False) {
      out_ += "&quot;false&quot;";
    } else if (k == Py_None) {
      out_ += "&quot;null&quot;";
    } else if (PyLong_Check(k)) {
      out_ += "&quot;";
      int_text(k);
      out_ += "&quot;";
    } else {
      PyErr_SetString(PyExc_TypeError, (std::string(bv::json::kBadKey) + type_name(k)).c_str());
      throw PyErrorSet{};
    }
  }

  static std::string type_name(PyObject* o) {
    PyObject* name = PyType_GetName(Py_TYPE(o));
    if (!name) throw PyErrorSet{};
    Py_ssize_t len = 0;
    const char* p = PyUnicode_AsUTF8AndSize(name, &len);
    std::string out = p ? std::string(p, static_cast<size_t>(len)) : std::string("object");
    Py_DECREF(name);
    if (!p) PyErr_Clear();
    return out;
  }

  // A container being written: json's check for circular references.
  struct Enter {
    Enter(HtmlJsonDump& w, PyObject* o) : w_(w) {
      if (std::find(w.path_.begin(), w.path_.end(), o) != w.path_.end()) {
        PyErr_SetString(PyExc_ValueError, "Circular reference detected");
        throw PyErrorSet{};
      }
      if (Py_EnterRecursiveCall(" while encoding a JSON object")) throw PyErrorSet{};
      w.path_.push_back(o);
    }
    ~Enter() {
      w_.path_.pop_back();
      Py_LeaveRecursiveCall();
    }
    HtmlJsonDump& w_;
  };

  void write_value(PyObject* o, int depth) {
    if (o == Py_None) {
      out_ += "null";
    } else if (o == Py_True) {
      out_ += "true";
    } else if (o == Py_False) {
      out_ += "false";
    } else if (PyUnicode_Check(o)) {
      string(o);
    } else if (PyLong_Check(o)) {
      int_text(o);
    } else if (PyFloat_Check(o)) {
      float_text(o);
    } else if (PyList_Check(o) || PyTuple_Check(o)) {
      sequence(o, depth);
    } else if (PyDict_Check(o)) {
      mapping(o, depth);
    } else {
      PyErr_Format(PyExc_TypeError, "Object of type %s is not JSON serializable", type_name(o).c_str());
      throw PyErrorSet{};
    }
  }

  void sequence(PyObject* o, int depth) {
    bool is_list = PyList_Check(o);
    auto size = [&] { return is_list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o); };
    if (size() == 0) {
      out_ += "[]";
      return;
    }
    Enter guard(*this, o);
    out_ += '[';
    // The size is read afresh and each item held while it is written: a dict subclass's
    // items() is the caller's code and may change the list under us.
    for (Py_ssize_t i = 0; i < size(); ++i) {
      PyObject* item = is_list ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i);
      if (i) out_ += ',';
      newline(depth + 1);
      Py_INCREF(item);
      try {
        write_value(item, depth + 1);
      } catch (...) {
        Py_DECREF(item);
        throw;
      }
      Py_DECREF(item);
    }
    newline(depth);
    out_ += ']';
  }

  void mapping(PyObject* o, int depth) {
    if (PyDict_GET_SIZE(o) == 0) {
      out_ += "{}";
      return;
    }
    Enter guard(*this, o);
    out_ += '{';
    bool first = true;
    auto member = [&](PyObject* k, PyObject* v) {
      if (PyUnicode_CheckExact(k)) {
        const std::string_view lead = member_lead(k, depth + 1);
        out_ += first ? lead.substr(1) : lead;
      } else {
        if (!first) out_ += ',';
        newline(depth + 1);
        key(k);
        out_ += ": ";
      }
      first = false;
      write_value(v, depth + 1);
    };
    if (PyDict_CheckExact(o)) {
      // Walked in place: no items list, no tuple per member. Key and value are held
      // while written, since a caller's int subclass may run code that changes the dict.
      Py_ssize_t pos = 0;
      PyObject *k, *v;
      while (PyDict_Next(o, &pos, &k, &v)) {
        Py_INCREF(k);
        Py_INCREF(v);
        try {
          member(k, v);
        } catch (...) {
          Py_DECREF(k);
          Py_DECREF(v);
          throw;
        }
        Py_DECREF(k);
        Py_DECREF(v);
      }
    } else {
      // A dict subclass (OrderedDict, say) lists its members through its own items().
      PyObject* items = check(PyMapping_Items(o));
      try {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
          PyObject* kv = PyList_GET_ITEM(items, i);
          if (!PyTuple_Check(kv) || PyTuple_GET_SIZE(kv) != 2) {
            PyErr_SetString(PyExc_ValueError, "items must return 2-tuples");
            throw PyErrorSet{};
          }
          member(PyTuple_GET_ITEM(kv, 0), PyTuple_GET_ITEM(kv, 1));
        }
      } catch (...) {
        Py_DECREF(items);
        throw;
      }
      Py_DECREF(items);
    }
    newline(depth);
    out_ += '}';
  }


  struct KeyText {
    PyObject* key = nullptr;
    int depth = 0;
    std::string text;
  };
  static constexpr size_t kKeySlots = 64;  // a power of two: the home slot is the hash's top six bits
  static constexpr size_t kKeyProbes = 4;

  Sink& out_;
  std::array<KeyText, kKeySlots> keys_;
  std::string indent_;
  std::string number_;
  std::vector<PyObject*> path_;
};

// A caller's dict as a map of shallow keys and values: enough for the coercion
// helpers, which only look at the keys' text forms and at scalar values.
bv::Value shallow_map(Call& c, PyObject* o) {
  if (!PyDict_Check(o)) return c.shallow(o);
  PyObject* items = c.keep(check(PyDict_Items(o)));
  Py_ssize_t n = PyList_GET_SIZE(items);
  bv::Value out = bv::Value::map(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* kv = PyList_GET_ITEM(items, i);
    bv::Value key = c.shallow(PyTuple_GET_ITEM(kv, 0));
    out.add(std::move(key), c.shallow(PyTuple_GET_ITEM(kv, 1)));
  }
  out.set_src(o);
  return out;
}

// The first `limit` items of a list argument, each read as a shallow map; anything
// that is not a list (a tuple included) counts as empty, as the coercion helper says.
bv::Value shallow_items(Call& c, PyObject* o, size_t limit) {
  bv::Value out = bv::Value::list();
  if (!PyList_Check(o)) return out;
  // Only the head is ever read: copy just that.
  const auto head = static_cast<Py_ssize_t>(std::min<size_t>(limit, PY_SSIZE_T_MAX));
  PyObject* copy = c.keep(check(PyList_GetSlice(o, 0, head)));
  size_t take = static_cast<size_t>(PyList_GET_SIZE(copy));
  out.items().reserve(take);
  for (size_t i = 0; i < take; ++i) out.push(shallow_map(c, PyList_GET_ITEM(copy, static_cast<Py_ssize_t>(i))));
  return out;
}

// Everything but the dumps: the payload values the fragments read, and the frame.
std::array<std::string, 7> read_frame(Call& c, PyObject* payload) {
  // The fragments read at most ten ranked entries of each list, and every region.
  bv::Value in = bv::Value::map(11);
  for (auto [key, limit] : {std::pair<const char*, size_t>{"top_regressions", 10}, {"top_reductions", 10},
                            {"regions", SIZE_MAX}}) {
    PyObject* v = c.map_get(payload, key);
    if (v) in.add(bv::Value::static_str(key), shallow_items(c, v, limit));
  }
  for (const char* key : {"flash_delta_bytes", "ram_delta_bytes"}) {
    PyObject* v = c.map_get(payload, key);
    if (v) in.add(bv::Value::static_str(key), c.shallow(v));
  }
  std::optional<bool> status_truthy;
  if (PyObject* status = c.map_get(payload, "status")) {
    bv::Value s = c.shallow(status);
    if (s.is_opaque()) {
      // The host's own truth value (an empty container, an object with __bool__).
      int t = PyObject_IsTrue(status);
      if (t < 0) throw PyErrorSet{};
      status_truthy = t != 0;
    }
    in.add("status", std::move(s));
  }
  for (const char* key : {"current_build", "baseline_build"}) {
    PyObject* v = c.map_get(payload, key);
    if (v) in.add(bv::Value::static_str(key), shallow_map(c, v));
  }
  return dr::render_diff_html_frame(in, status_truthy);
}

// A Python error set aside while other code runs, and put back afterwards (unless that
// code raised an error of its own, which then replaces it).
class PendingError {
 public:
  PendingError() {
#if PY_VERSION_HEX >= 0x030C0000
    exc_ = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&type_, &exc_, &tb_);
#endif
  }
  ~PendingError() {
#if PY_VERSION_HEX < 0x030C0000
    Py_XDECREF(type_);
    Py_XDECREF(tb_);
#endif
    Py_XDECREF(exc_);
  }
  PendingError(const PendingError&) = delete;
  PendingError& operator=(const PendingError&) = delete;
  void restore() {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc_);
#else
    PyErr_Restore(type_, exc_, tb_);
    type_ = tb_ = nullptr;
#endif
    exc_ = nullptr;
  }

 private:
  PyObject* type_ = nullptr;
  PyObject* exc_ = nullptr;
  PyObject* tb_ = nullptr;
};

const ArgSpec kHtmlSpec{"render_diff_html", {"diff_payload"}, 1, 1, {}};

PyObject* py_render_diff_html(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    bind_args(kHtmlSpec, args, nargs, kw, a);
    Call c(m);
    c.allow_big_ints();
    PyObject* payload = a[0];
    static const char* const kDumpKeys[6] = {"regions", "sections", "symbols", "components", "top_regressions",
                                             "top_reductions"};
    // The lists to dump: empty unless a list, as the coercion helper reads them.
    auto dump_source = [&](size_t i) -> PyObject* {
      PyObject* v = c.map_get(payload, kDumpKeys[i]);
      return v && PyList_Check(v) && PyList_GET_SIZE(v) > 0 ? v : nullptr;
    };
    auto write_dump = [](auto& sink, PyObject* list) {
      if (list)
        HtmlJsonDump<std::remove_reference_t<decltype(sink)>>(sink).write(list);
      else
        sink += "[]";
    };
    std::array<std::string, 7> frame;
    try {
      frame = read_frame(c, payload);
    } catch (...) {
      // The dumps are the first thing the page is built from: when one of them cannot
      // be written, that is the error to report, whatever went wrong afterwards.
      PendingError pending;
      NullSink probe;
      for (size_t i = 0; i < 6; ++i) write_dump(probe, dump_source(i));
      pending.restore();
      throw;
    }
    // The frame as str pieces; their widest character decides the page's storage (the
    // dumps are ASCII).
    std::array<PyObject*, 7> texts{};
    Py_UCS4 maxchar = 127;
    // Room for the dumps too, at a generous guess of a row's length: the page is then
    // filled in place, its untouched end given back when it is trimmed.
    size_t size = 65536;
    constexpr size_t kRowGuess = 320, kMostGuessed = size_t{1} << 27;
    for (size_t i = 0; i < 6; ++i)
      if (PyObject* list = dump_source(i))
        size = std::min(kMostGuessed, size + static_cast<size_t>(PyList_GET_SIZE(list)) * kRowGuess);
    for (size_t i = 0; i < 7; ++i) {
      texts[i] = c.keep(new_string(frame[i]));
      maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(texts[i]));
      size += frame[i].size();
    }
    auto write_page = [&](auto& page) -> PyObject* {
      for (size_t i = 0; i < 6; ++i) {
        page.append(texts[i]);
        write_dump(page, dump_source(i));
      }
      page.append(texts[6]);
      return page.finish();
    };
    if (maxchar <= 0xFF) {
      PyTextSink<Py_UCS1> page(size, maxchar);
      return write_page(page);
    }
    if (maxchar <= 0xFFFF) {
      PyTextSink<Py_UCS2> page(size, maxchar);
      return write_page(page);
    }
    PyTextSink<Py_UCS4> page(size, maxchar);
    return write_page(page);
  });
}

const ArgSpec kCardSpec{"_render_comparison_card", {"current", "baseline"}, 2, 2, {}};

PyObject* py_render_comparison_card(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    bind_args(kCardSpec, args, nargs, kw, a);
    Call c(m);
    c.allow_big_ints();
    bv::Value current = shallow_map(c, a[0]);
    bv::Value baseline = shallow_map(c, a[1]);
    return text_result(dr::render_comparison_card(current, baseline));
  });
}

const ArgSpec kSafeJsonSpec{"_safe_script_json", {"value"}, 1, 1, {}};

PyObject* py_safe_script_json(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    bind_args(kSafeJsonSpec, args, nargs, kw, a);
    Call c(m);
    c.allow_big_ints();
    return text_result(dr::safe_script_json(c.deep(a[0]), c.max_depth()));
  });
}

const ArgSpec kStripSpec{"_render_region_delta_strip", {"regions"}, 1, 1, {}};

PyObject* py_render_region_delta_strip(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    bind_args(kStripSpec, args, nargs, kw, a);
    Call c(m);
    c.allow_big_ints();
    bv::Value regions = shallow_items(c, a[0], SIZE_MAX);
    return text_result(dr::render_region_delta_strip(regions.items()));
  });
}

const ArgSpec kRowsSpec{"_render_diff_table_rows", {"entries"}, 1, 1, {}};

PyObject* py_render_diff_table_rows(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[1];
    bind_args(kRowsSpec, args, nargs, kw, a);
    Call c(m);
    c.allow_big_ints();
    bv::Value entries = shallow_items(c, a[0], 10);
    return text_result(dr::render_diff_table_rows(entries.items()));
  });
}

const ArgSpec kChartSpec{"_build_diff_chart_entries", {"regressions", "reductions"}, 2, 2, {}};

PyObject* py_build_diff_chart_entries(PyObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    PyObject* a[2];
    bind_args(kChartSpec, args, nargs, kw, a);
    Call c(m);
    c.allow_big_ints();
    bv::Value regressions = shallow_items(c, a[0], 6);
    bv::Value reductions = shallow_items(c, a[1], 6);
    return to_python(dr::build_diff_chart_entries(regressions.items(), reductions.items()));
  });
}

PyMethodDef kMethods[] = {
    {"render_diff_html", BV_FASTCALL(py_render_diff_html),
     "render_diff_html(diff_payload)\n--\n\nThe diff payload as one self-contained HTML document (a str)."},
    {"_render_comparison_card", BV_FASTCALL(py_render_comparison_card), nullptr},
    {"_safe_script_json", BV_FASTCALL(py_safe_script_json), nullptr},
    {"_render_region_delta_strip", BV_FASTCALL(py_render_region_delta_strip), nullptr},
    {"_render_diff_table_rows", BV_FASTCALL(py_render_diff_table_rows), nullptr},
    {"_build_diff_chart_entries", BV_FASTCALL(py_build_diff_chart_entries), nullptr},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyMethodDef* html_methods() { return kMethods; }

}  // namespace bvpy::diffreport
