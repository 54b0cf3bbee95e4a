// brenvale._mapscan: the memory map part of a GNU ld map, read in one pass.
//
// A large map has close to a million lines, and a Python loop spends about a
// microsecond on each; this module is the one reader of the line rules of
// the memory map part (readers/gnu_ld.py keeps the memory configuration and
// what follows the scan) and makes the SymbolEntry records itself.
//
// It reads a str of any kind (one, two or four bytes a character; the scan is
// one template over the character type) with the text functions of Python
// that the rules are written in: whitespace is what str.split() and
// str.rstrip() split on (Py_UNICODE_ISSPACE), a word character for \b is
// str.isalnum() or "_", and a number is what int(token, 16) accepts:
// underscores between digits, decimal digits of any script, any size.  Values
// that do not fit 64 bits become Python ints and keep their arithmetic exact;
// only a damaged map has them.
//
// Where the rules hold Python-side knowledge (which sections occupy no memory,
// how input sections name their symbols, how "lib.a(obj.o)" splits) the
// module calls back into the Python functions instead of keeping a copy.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bindings/mapscan/py_ref.hpp"
#include "bindings/mapscan/symbol_tallies.hpp"

namespace {

using u64 = std::uint64_t;

constexpr u64 kIntMax = 0x7FFFFFFFFFFFFFFFull;  // the records hold signed 64-bit values

using mapscan::check;
using mapscan::PyErrorSet;
using mapscan::Ref;

// Character classes of the first 256 code points, as str methods and str
// patterns see them: whitespace for str.split(), str.rstrip() and \s; word
// characters (str.isalnum() or "_") for \b.  Past U+00FF the Unicode
// database answers, as it does for Python.
enum : unsigned char { kSpace = 1, kWord = 2 };
constexpr auto kClasses = [] {
  std::array<unsigned char, 256> table{};
  for (int c : {9, 10, 11, 12, 13, 28, 29, 30, 31, 32, 0x85, 0xA0}) table[static_cast<size_t>(c)] = kSpace;
  for (int c = '0'; c <= '9'; ++c) table[static_cast<size_t>(c)] = kWord;
  for (int c = 'A'; c <= 'Z'; ++c) table[static_cast<size_t>(c)] = kWord;
  for (int c = 'a'; c <= 'z'; ++c) table[static_cast<size_t>(c)] = kWord;
  table['_'] = kWord;
  // Latin-1 letters, superscript digits and vulgar fractions.
  for (int c : {0xAA, 0xB2, 0xB3, 0xB5, 0xB9, 0xBA, 0xBC, 0xBD, 0xBE}) table[static_cast<size_t>(c)] = kWord;
  for (int c = 0xC0; c <= 0xFF; ++c) {
    if (c != 0xD7 && c != 0xF7) table[static_cast<size_t>(c)] = kWord;
  }
  return table;
}();
constexpr auto kHexDigits = [] {
  std::array<signed char, 256> table{};
  table.fill(-1);
  for (int c = '0'; c <= '9'; ++c) table[static_cast<size_t>(c)] = static_cast<signed char>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) table[static_cast<size_t>(c)] = static_cast<signed char>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) table[static_cast<size_t>(c)] = static_cast<signed char>(c - 'A' + 10);
  return table;
}();

// The code point of a character of a one, two or four byte text.
template <class C>
inline Py_UCS4 code(C c) {
  return static_cast<Py_UCS4>(static_cast<std::make_unsigned_t<C>>(c));
}
template <class C>
inline bool is_space(C c) {
  const Py_UCS4 u = code(c);
  if (u < 256) return kClasses[u] == kSpace;
  return Py_UNICODE_ISSPACE(u);
}
template <class C>
inline bool is_word(C c) {
  const Py_UCS4 u = code(c);
  if (u < 256) return kClasses[u] == kWord;
  return Py_UNICODE_ISALNUM(u);
}
// A hex digit of the header patterns ([0-9A-Fa-f]), or -1.
template <class C>
inline int hex_value(C c) {
  const Py_UCS4 u = code(c);
  return u < 256 ? kHexDigits[u] : -1;
}
// A digit as int(token, 16) reads it: ASCII hex digits, and the decimal
// digits of every script (int() maps them to ASCII first), or -1.
template <class C>
inline int int_digit(C c) {
  const Py_UCS4 u = code(c);
  if (u < 128) return kHexDigits[u];
  return Py_UNICODE_TODECIMAL(u);
}

// Comparisons with ASCII literals, for texts of every character type.
template <class C>
bool equals(std::basic_string_view<C> s, std::string_view ascii) {
  if (s.size() != ascii.size()) return false;
  if constexpr (sizeof(C) == 1) return std::memcmp(s.data(), ascii.data(), ascii.size()) == 0;
  for (size_t i = 0; i < ascii.size(); ++i) {
    if (code(s[i]) != static_cast<unsigned char>(ascii[i])) return false;
  }
  return true;
}
template <class C>
bool starts_with(std::basic_string_view<C> s, std::string_view prefix) {
  return s.size() >= prefix.size() && equals(s.substr(0, prefix.size()), prefix);
}
template <class C>
bool contains(std::basic_string_view<C> s, std::string_view part) {
  if constexpr (sizeof(C) == 1) {
    return std::string_view(s.data(), s.size()).find(part) != std::string_view::npos;
  }
  if (part.size() > s.size()) return false;
  for (size_t i = 0; i + part.size() <= s.size(); ++i) {
    if (code(s[i]) == static_cast<unsigned char>(part[0]) && equals(s.substr(i, part.size()), part)) return true;
  }
  return false;
}
template <class C>
bool has_char(std::basic_string_view<C> s, char c) {
  return s.find(static_cast<C>(c)) != std::basic_string_view<C>::npos;
}

template <class C>
std::basic_string_view<C> rstrip(std::basic_string_view<C> s) {
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// str.split(None, maxsplit) into at most 4 parts; returns the number of parts.
template <class C>
int split(std::basic_string_view<C> s, int maxsplit, std::basic_string_view<C>* out) {
  size_t i = 0;
  const size_t n = s.size();
  int count = 0;
  for (int left = maxsplit; left > 0; --left) {
    while (i < n && is_space(s[i])) ++i;
    if (i == n) return count;
    size_t j = i++;
    while (i < n && !is_space(s[i])) ++i;
    out[count++] = s.substr(j, i - j);
  }
  while (i < n && is_space(s[i])) ++i;
  if (i != n) out[count++] = s.substr(i);
  return count;
}

// Length of a run of header hex digits at the start of s.
template <class C>
size_t hex_run(std::basic_string_view<C> s) {
  size_t i = 0;
  while (i < s.size() && hex_value(s[i]) >= 0) ++i;
  return i;
}
template <class C>
size_t space_run(std::basic_string_view<C> s) {
  size_t i = 0;
  while (i < s.size() && is_space(s[i])) ++i;
  return i;
}

// A non-negative number: 64 bits, or an index into the scanner's Python ints
// for the values past them (a damaged map may print any number of digits).
struct Num {
  u64 v = 0;
  std::int32_t big = -1;
};

template <class C>
struct Header {
  Num vma, size, lma;
};

template <class C>
struct Symbol {
  Num address;
  std::basic_string_view<C> name;
};

template <class C>
struct Section {
  std::basic_string_view<C> name;
  Ref name_object;
  Num vma, size, lma;
  Num fill, align_fill;
  bool advanced = false, has_content = false, keep = false;
  // Whether the map shows bytes stored for the section: an input section that
  // holds some, or a data statement (zeroed inputs and reservations hold none).
  bool stored = false;
  size_t overrun_line = 0;  // the first input section that starts past the section's end
};

// An input section whose symbols are made once the next input section, fill
// or data statement of its output section, or the section's end, bounds it.
template <class C>
struct Entry {
  bool open = false;
  Num start, size;
  std::basic_string_view<C> name, file;
  std::vector<Symbol<C>> listed;
};

struct Callbacks {
  int kind;    // PyUnicode kind of the text
  bool ascii;  // the text is ASCII
  PyObject* record_type;
  PyObject* const* setters;  // the record's slot descriptors, in field order
  PyObject* is_non_allocated;
  PyObject* name_from_section;
  PyObject* split_member;
  PyObject* holds_no_bytes;
};

template <class C>
class Scanner {
 public:
  using View = std::basic_string_view<C>;

  explicit Scanner(const Callbacks& callbacks) : symbols(check(PyList_New(0))), cb_(callbacks) {}

  std::vector<Section<C>> sections;
  Ref symbols;  // the records, in map order
  size_t lines_read = 0;
  bool finished = false, saw_output = false;
  long open_at_end = -1;  // the section being read when the text ended

  // A new reference to the Python int of *n*.
  PyObject* number(const Num& n) const {
    if (n.big >= 0) return Py_NewRef(bigs_[static_cast<size_t>(n.big)].get());
    return check(PyLong_FromUnsignedLongLong(n.v));
  }

  void run(View text, size_t line_no) {
    long current = -1;  // index into sections
    // Where symbol lines go: the open entry, nowhere (an input section that
    // is not kept), or no input section at all.
    Target target = Target::none;
    View pending;
    bool has_pending = false, pending_output = false;
    View parts[4];
    size_t pos = 0;
    while (pos < text.size()) {
      size_t stop = text.find(static_cast<C>('\n'), pos);
      if (stop == View::npos) stop = text.size();
      View line = text.substr(pos, stop - pos);
      // The caller turned "\r\n" into "\n"; only a last line without its
      // line break may still end in "\r".
      if (stop == text.size() && !line.empty() && code(line.back()) == '\r') line.remove_suffix(1);
      pos = stop + 1;
      ++line_no;
      line_no_ = line_no;

      if (starts_with(line, "  ") && !has_pending) {
        if (current < 0) continue;
        target = statement_line(sections[static_cast<size_t>(current)], target, line);
        continue;
      }
      if (line.empty()) continue;

      if (has_pending) {
        View name = pending;
        has_pending = false;
        if (pending_output) {
          Header<C> header;
          if (header_continuation(line, header)) {
            current = open_section(name, header);
            continue;
          }
        } else {
          int n = split(line, 2, parts);
          if (n >= 2 && starts_with(parts[0], "0x") && starts_with(parts[1], "0x")) {
            Num address, size;
            if (parse_int(parts[0], address) && parse_int(parts[1], size)) {
              target = add_entry(current, name, address, size, n > 2 ? rstrip(parts[2]) : View());
              continue;
            }
          }
        }
      }

      const Py_UCS4 first = code(line[0]);
      if (first != ' ' && first != '\t') {
        if (current >= 0) finish(sections[static_cast<size_t>(current)]);
        current = -1;
        target = Target::none;
        if (equals(rstrip(line), "Cross Reference Table")) {
          finished = true;
          break;
        }
        if (starts_with(line, "OUTPUT(")) {
          saw_output = true;
          continue;
        }
        View name;
        Header<C> header;
        if (section_header(line, name, header)) {
          current = open_section(name, header);
          continue;
        }
        View stripped = rstrip(line);
        if (!has_char(stripped, ' ') && !has_char(stripped, '\t')) {
          pending = stripped;
          has_pending = true;
          pending_output = true;
        }
        continue;
      }

      if (current < 0 || line.size() < 2) continue;
      Section<C>& section = sections[static_cast<size_t>(current)];

      if (code(line[1]) != ' ') {
        int n = split(line, 3, parts);
        if (n == 0) continue;
        Num address, size;
        bool numbers = n >= 3 && starts_with(parts[1], "0x") && starts_with(parts[2], "0x") &&
                       parse_int(parts[1], address) && parse_int(parts[2], size);
        if (!numbers) {
          target = Target::none;
          if (n == 1 && code(parts[0][0]) != '*' && !has_char(parts[0], '(')) {
            pending = parts[0];
            has_pending = true;
            pending_output = false;
          }
          continue;
        }
        if (equals(parts[0], "*fill*")) {
          section.fill = add(section.fill, size);
          if (!section.advanced) section.align_fill = add(section.align_fill, size);
          section.advanced = false;
          target = Target::none;
          if (positive(size)) settle(section, address);  // the input before a fill ends here at the latest
          continue;
        }
        target = add_entry(current, parts[0], address, size, n > 3 ? rstrip(parts[3]) : View());
        continue;
      }
      target = statement_line(section, target, line);
    }
    if (current >= 0) finish(sections[static_cast<size_t>(current)]);
    open_at_end = current;
    lines_read = line_no;
  }

 private:
  enum class Target { none, dropped, entry };

  const Callbacks& cb_;
  size_t line_no_ = 0;
  Entry<C> entry_;
  std::vector<Symbol<C>> points_;
  std::vector<Ref> bigs_;  // the values of Num past 64 bits
  std::unordered_map<View, std::pair<Ref, Ref>> files_;  // (object file, archive) of a file text
  View last_file_text_;
  const std::pair<Ref, Ref>* last_file_ = nullptr;  // node-based map: stays valid
  std::unordered_map<View, Ref> names_;  // symbol_name_from_section results, None included

  // -- numbers ---------------------------------------------------------------

  // *value* (a new reference to a non-negative int, or nullptr with an error
  // set) as a Num.
  Num adopt(PyObject* value) {
    Ref owned(check(value));
    Num n;
    n.v = PyLong_AsUnsignedLongLong(owned.get());
    if (n.v == static_cast<u64>(-1) && PyErr_Occurred()) {
      // Past 64 bits (or below 0, which no arithmetic here reaches).
      PyErr_Clear();
      n.v = 0;
      n.big = static_cast<std::int32_t>(bigs_.size());
      bigs_.push_back(std::move(owned));
    }
    return n;
  }
  static Num small(u64 v) { return Num{v, -1}; }
  static bool positive(const Num& n) { return n.big >= 0 || n.v > 0; }
  // The 64-bit cases inline; Python ints only where a damaged map has them.
  Num add(const Num& a, const Num& b) {
    if (a.big < 0 && b.big < 0 && a.v <= ~u64{0} - b.v) return small(a.v + b.v);
    return big_arithmetic(a, b, PyNumber_Add);
  }
  Num sub(const Num& a, const Num& b) {
    if (a.big < 0 && b.big < 0 && a.v >= b.v) return small(a.v - b.v);
    return big_arithmetic(a, b, PyNumber_Subtract);
  }
  bool less(const Num& a, const Num& b) const {
    if (a.big < 0 && b.big < 0) return a.v < b.v;
    return big_less(a, b);
  }
  [[gnu::noinline]] Num big_arithmetic(const Num& a, const Num& b, PyObject* (*operation)(PyObject*, PyObject*)) {
    Ref x(number(a)), y(number(b));
    return adopt(operation(x.get(), y.get()));
  }
  [[gnu::noinline]] bool big_less(const Num& a, const Num& b) const {
    Ref x(number(a)), y(number(b));
    int answer = PyObject_RichCompareBool(x.get(), y.get(), Py_LT);
    if (answer < 0) throw PyErrorSet{};
    return answer != 0;
  }
  bool same(const Num& a, const Num& b) const {
    if (a.big < 0 && b.big < 0) return a.v == b.v;
    return !less(a, b) && !less(b, a);
  }

  // The Python int of *length* digits given as ASCII hex digit values.
  Num big_number(const std::string& digits) {
    return adopt(PyLong_FromString(digits.c_str(), nullptr, 16));
  }

  // int(token, 16) of a token that starts with "0x"; false where int()
  // raises ValueError.  int() takes one underscore after the prefix or
  // between digits, and a decimal digit of any script as its ASCII digit.
  bool parse_int(View token, Num& out) {
    size_t i = 2;
    const size_t n = token.size();
    if (i < n && code(token[i]) == '_') ++i;
    if (i == n) return false;
    u64 value = 0;
    bool wide = false, after_digit = false;
    for (; i < n; ++i) {
      if (code(token[i]) == '_') {
        if (!after_digit) return false;
        after_digit = false;
        continue;
      }
      int digit = int_digit(token[i]);
      if (digit < 0) return false;
      wide = wide || value > (~u64{0} >> 4);
      value = (value << 4) | static_cast<u64>(digit);
      after_digit = true;
    }
    if (!after_digit) return false;
    if (!wide) {
      out = small(value);
      return true;
    }
    std::string digits;
    for (size_t k = 2; k < n; ++k) {
      int digit = int_digit(token[k]);
      if (digit >= 0) digits.push_back("0123456789abcdef"[digit]);
    }
    out = big_number(digits);
    return true;
  }

  // int(digits, 16) of header hex digits alone (what the header patterns capture).
  Num hex_digits(View digits) {
    u64 value = 0;
    bool wide = false;
    for (C c : digits) {
      wide = wide || value > (~u64{0} >> 4);
      value = (value << 4) | static_cast<u64>(hex_value(c));
    }
    if (!wide) return small(value);
    std::string text;
    for (C c : digits) text.push_back(static_cast<char>(code(c)));
    return big_number(text);
  }

  // -- line patterns ----------------------------------------------------------

  // The numbers of a section header: "0xVMA <ws> 0xSIZE [<ws> words <ws> 0xLMA] <ws>*"
  // up to the end of s, as the header patterns of readers/gnu_ld.py read them.  The words
  // are "load address" in the user's language ("address de chargement"): one or
  // more runs of non-blanks that do not start with "0x".
  bool header_numbers(View s, Header<C>& out) {
    View numbers[2];
    for (int k = 0; k < 2; ++k) {
      if (!starts_with(s, "0x")) return false;
      s.remove_prefix(2);
      size_t digits = hex_run(s);
      if (digits == 0) return false;
      numbers[k] = s.substr(0, digits);
      s.remove_prefix(digits);
      size_t gap = space_run(s);
      if (k == 0 && gap == 0) return false;
      s.remove_prefix(gap);
      if (k == 1) {
        View lma;
        if (!s.empty()) {
          if (gap == 0 || starts_with(s, "0x")) return false;
          while (!s.empty() && !starts_with(s, "0x")) {
            size_t word = 0;
            while (word < s.size() && !is_space(s[word])) ++word;
            s.remove_prefix(word);
            gap = space_run(s);
            if (gap == 0) return false;
            s.remove_prefix(gap);
          }
          if (!starts_with(s, "0x")) return false;
          s.remove_prefix(2);
          digits = hex_run(s);
          if (digits == 0) return false;
          lma = s.substr(0, digits);
          s.remove_prefix(digits);
          if (space_run(s) != s.size()) return false;
        }
        out.vma = hex_digits(numbers[0]);
        out.size = hex_digits(numbers[1]);
        out.lma = lma.empty() ? out.vma : hex_digits(lma);
        return true;
      }
    }
    return false;
  }

  // ^(\S+)\s+<numbers>  (the line starts with a non-blank)
  bool section_header(View line, View& name, Header<C>& out) {
    size_t i = 0;
    while (i < line.size() && !is_space(line[i])) ++i;
    if (i == 0) return false;
    size_t gap = space_run(line.substr(i));
    if (gap == 0) return false;
    name = line.substr(0, i);
    return header_numbers(line.substr(i + gap), out);
  }

  // ^\s+<numbers>
  bool header_continuation(View line, Header<C>& out) {
    size_t gap = space_run(line);
    if (gap == 0) return false;
    return header_numbers(line.substr(gap), out);
  }

  // word\b at the start of s
  static bool word_at_start(View s, std::string_view word) {
    return starts_with(s, word) && (s.size() == word.size() || !is_word(s[word.size()]));
  }

  // ^(?:BYTE|SHORT|LONG|QUAD|SQUAD)\b
  static bool data_statement(View s) {
    for (std::string_view word : {"BYTE", "SHORT", "LONG", "QUAD", "SQUAD"}) {
      if (word_at_start(s, word)) return true;
    }
    return false;
  }

  // ^(?:\.\s|\.$|PROVIDE\b|PROVIDE_HIDDEN\b|HIDDEN\b|ASSERT\b|\S+\s+[-+*/|&]?=\s)
  static bool assignment(View s) {
    if (!s.empty() && code(s[0]) == '.' && (s.size() == 1 || is_space(s[1]))) return true;
    for (std::string_view word : {"PROVIDE", "PROVIDE_HIDDEN", "HIDDEN", "ASSERT"}) {
      if (word_at_start(s, word)) return true;
    }
    size_t i = 0;
    while (i < s.size() && !is_space(s[i])) ++i;
    if (i == 0) return false;
    size_t gap = space_run(s.substr(i));
    if (gap == 0) return false;
    View rest = s.substr(i + gap);
    if (!rest.empty() && code(rest[0]) < 128 &&
        std::string_view("-+*/|&").find(static_cast<char>(code(rest[0]))) != std::string_view::npos) {
      if (rest.size() >= 3 && code(rest[1]) == '=' && is_space(rest[2])) return true;
    }
    return rest.size() >= 2 && code(rest[0]) == '=' && is_space(rest[1]);
  }

  // -- strings ---------------------------------------------------------------

  // A str of part of the text.  An ASCII text gives ASCII strings directly;
  // otherwise CPython finds the narrowest form, as str slicing would.
  PyObject* new_str(View s) const {
    if (s.empty()) return check(PyUnicode_New(0, 0));  // an empty view may have no data pointer
    if constexpr (sizeof(C) == 1) {
      if (cb_.ascii) {
        PyObject* text = check(PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127));
        std::memcpy(PyUnicode_DATA(text), s.data(), s.size());
        return text;
      }
    }
    return check(PyUnicode_FromKindAndData(cb_.kind, s.data(), static_cast<Py_ssize_t>(s.size())));
  }

  // -- sections, input sections and symbols ----------------------------------

  long open_section(View name, const Header<C>& header) {
    Section<C> section;
    section.name = name;
    section.name_object = Ref(new_str(name));
    section.vma = header.vma;
    section.size = header.size;
    section.lma = header.lma;
    // Addresses past 2**63 - 1 come only from a damaged map.
    const bool fits = header.vma.big < 0 && header.size.big < 0 && header.lma.big < 0 && header.size.v > 0 &&
                      header.vma.v <= kIntMax && header.size.v <= kIntMax - header.vma.v && header.lma.v <= kIntMax;
    if (fits) {
      Ref answer(check(PyObject_CallOneArg(cb_.is_non_allocated, section.name_object.get())));
      int truth = PyObject_IsTrue(answer.get());
      if (truth < 0) throw PyErrorSet{};
      section.keep = truth == 0;
    }
    sections.push_back(std::move(section));
    return static_cast<long>(sections.size()) - 1;
  }

  Target add_entry(long current, View name, const Num& address, const Num& size, View file) {
    if (current < 0) return Target::dropped;
    Section<C>& section = sections[static_cast<size_t>(current)];
    if (!section.keep || !positive(size)) return Target::dropped;
    // A kept section ends below 2**63.
    if (less(small(section.vma.v + section.size.v), address) && section.overrun_line == 0) {
      section.overrun_line = line_no_;
    }
    if (!section.stored) {
      Ref name_object(new_str(name));
      Ref answer(check(PyObject_CallOneArg(cb_.holds_no_bytes, name_object.get())));
      int truth = PyObject_IsTrue(answer.get());
      if (truth < 0) throw PyErrorSet{};
      section.stored = truth == 0;
    }
    settle(section, address);
    entry_.open = true;
    entry_.start = address;
    entry_.size = size;
    entry_.name = name;
    entry_.file = file;
    entry_.listed.clear();
    return Target::entry;
  }

  // A line indented deeper than input sections: a symbol, an assignment, a
  // data statement or a relaxation note.  Returns where later symbol lines go.
  Target statement_line(Section<C>& section, Target target, View line) {
    View parts[4];
    int n = split(line, 1, parts);
    if (n < 2 || !starts_with(parts[0], "0x")) return target;
    View rest = rstrip(parts[1]);
    if (starts_with(rest, "0x")) {
      View words[4];
      int w = split(rest, 2, words);
      if (w > 1 && data_statement(words[1])) {
        section.has_content = true;
        section.stored = true;
        // words[0] starts with "0x" as rest does.
        Num address, size;
        if (!parse_int(parts[0], address) || !parse_int(words[0], size)) return Target::none;
        if (positive(size)) settle(section, address);
        return Target::none;
      }
      return target;
    }
    if (equals(rest, "(size before relaxing)")) return target;
    if (assignment(rest)) {
      if (starts_with(rest, ". =")) section.advanced = !contains(rest, "ALIGN");
      return Target::none;
    }
    if (target == Target::entry) {
      Num address;
      if (parse_int(parts[0], address)) entry_.listed.push_back(Symbol<C>{address, rest});
    }
    return target;
  }

  const std::pair<Ref, Ref>& file_of(View file_text) {
    // Input sections of one object file tend to follow each other.
    if (last_file_ != nullptr && last_file_text_ == file_text) return *last_file_;
    auto found = files_.find(file_text);
    if (found == files_.end()) found = files_.emplace(file_text, split_file(file_text)).first;
    last_file_text_ = file_text;
    last_file_ = &found->second;
    return found->second;
  }

  std::pair<Ref, Ref> split_file(View file_text) {
    Ref text(new_str(file_text));
    Ref pair(check(PyObject_CallOneArg(cb_.split_member, text.get())));
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
      PyErr_SetString(PyExc_TypeError, "split_archive_member must return a pair");
      throw PyErrorSet{};
    }
    return {Ref(Py_NewRef(PyTuple_GET_ITEM(pair.get(), 0))), Ref(Py_NewRef(PyTuple_GET_ITEM(pair.get(), 1)))};
  }

  // symbol_name_from_section(name): a str, or None.
  PyObject* name_from_section(View name) {
    auto found = names_.find(name);
    if (found != names_.end()) return found->second.get();
    Ref text(new_str(name));
    Ref derived(check(PyObject_CallOneArg(cb_.name_from_section, text.get())));
    if (derived.get() != Py_None && !PyUnicode_Check(derived.get())) {
      PyErr_SetString(PyExc_TypeError, "symbol_name_from_section must return str or None");
      throw PyErrorSet{};
    }
    PyObject* result = derived.get();
    names_.emplace(name, std::move(derived));
    return result;
  }

  static bool starts_with_z(PyObject* text) {
    if (text == Py_None || PyUnicode_GET_LENGTH(text) < 2) return false;
    return PyUnicode_READ_CHAR(text, 0) == '_' && PyUnicode_READ_CHAR(text, 1) == 'Z';
  }

  // One SymbolEntry; *name* (borrowed) when given, else a str of name_text.
  void add_record(const Section<C>& section, const std::pair<Ref, Ref>& file, PyObject* name, View name_text,
                  PyObject* demangled, const Num& address, const Num& size) {
    auto* type = reinterpret_cast<PyTypeObject*>(cb_.record_type);
    Ref record(check(type->tp_alloc(type, 0)));
    Ref name_object(name != nullptr ? Py_NewRef(name) : new_str(name_text));
    Ref address_object(number(address));
    Ref size_object(number(size));
    PyObject* values[9] = {
        name_object.get(), demangled,         address_object.get(), size_object.get(), section.name_object.get(),
        file.first.get(),  file.second.get(), Py_None,              Py_None,
    };
    for (int k = 0; k < 9; ++k) {
      PyObject* setter = cb_.setters[k];
      if (Py_TYPE(setter)->tp_descr_set(setter, record.get(), values[k]) < 0) throw PyErrorSet{};
    }
    if (PyList_Append(symbols.get(), record.get()) < 0) throw PyErrorSet{};
  }

  // The symbols of the open entry, now that *bound* is where the next item
  // of its section starts: one per symbol line inside the input section,
  // sized up to the next, and the input section's own name for bytes before
  // the first symbol line.
  void settle(Section<C>& section, const Num& bound) {
    if (!entry_.open) return;
    entry_.open = false;
    const Num start = entry_.start;
    const Num end = add(start, entry_.size);
    if (less(start, section.vma)) return;  // not where the section is: a damaged line
    // Merged input (".rodata.*.str1.1", ".rodata.cst4"): ld prints it at the
    // current address with its size before merging, while its bytes went
    // into an earlier input section.
    if (less(bound, end)) return;
    section.has_content = true;
    const std::pair<Ref, Ref>& file = file_of(entry_.file);

    std::vector<Symbol<C>>& points = points_;
    points.clear();
    const std::vector<Symbol<C>>& listed = entry_.listed;
    if (listed.size() == 1) {
      const Symbol<C>& only = listed[0];
      if (same(only.address, start)) {
        add_leading(section, file, only, start, end);
        return;
      }
      if (less(start, only.address) && less(only.address, end)) points.push_back(only);
    } else if (listed.size() > 1) {
      // Symbol lines outside the input section are absolute or belong to
      // the next statement; aliases at one address keep the first name.
      points = listed;
      std::stable_sort(points.begin(), points.end(),
                       [this](const Symbol<C>& a, const Symbol<C>& b) { return less(a.address, b.address); });
      size_t kept = 0;
      for (const Symbol<C>& symbol : points) {
        if (!less(symbol.address, start) && less(symbol.address, end) &&
            (kept == 0 || !same(points[kept - 1].address, symbol.address))) {
          points[kept++] = symbol;
        }
      }
      points.resize(kept);
    }

    size_t first_point = 0;
    if (points.empty() || !same(points[0].address, start)) {
      PyObject* derived = name_from_section(entry_.name);
      const Num first_end = points.empty() ? end : points[0].address;
      bool named = derived != Py_None && PyUnicode_GET_LENGTH(derived) > 0;
      add_record(section, file, named ? derived : nullptr, entry_.name, Py_None, start, sub(first_end, start));
      if (points.empty()) return;
    } else {
      add_leading(section, file, points[0], start, points.size() > 1 ? points[1].address : end);
      first_point = 1;
    }
    for (size_t k = first_point; k < points.size(); ++k) {
      const Num next = k + 1 < points.size() ? points[k + 1].address : end;
      add_record(section, file, nullptr, points[k].name, Py_None, points[k].address, sub(next, points[k].address));
    }
  }

  // The symbol at the start of an input section: ld may have printed it
  // demangled, while the section name keeps the linkage name.
  void add_leading(const Section<C>& section, const std::pair<Ref, Ref>& file, const Symbol<C>& symbol,
                   const Num& start, const Num& end) {
    if (has_char(symbol.name, '(') || contains(symbol.name, "::") || has_char(symbol.name, ' ')) {
      PyObject* derived = name_from_section(entry_.name);
      if (starts_with_z(derived)) {
        Ref demangled(new_str(symbol.name));
        add_record(section, file, derived, {}, demangled.get(), start, sub(end, start));
        return;
      }
    }
    add_record(section, file, nullptr, symbol.name, Py_None, start, sub(end, start));
  }

  void finish(Section<C>& section) { settle(section, add(section.vma, section.size)); }

 public:
  PyObject* section_tuple(const Section<C>& section) const {
    Ref vma(number(section.vma)), size(number(section.size)), lma(number(section.lma));
    Ref fill(number(section.fill)), align_fill(number(section.align_fill));
    return check(Py_BuildValue("(OOOOOOOOn)", section.name_object.get(), vma.get(), size.get(), lma.get(),
                               fill.get(), align_fill.get(), section.has_content ? Py_True : Py_False,
                               section.stored ? Py_True : Py_False, static_cast<Py_ssize_t>(section.overrun_line)));
  }
};

template <class C>
PyObject* scan_text(const C* data, size_t length, size_t line_no, const Callbacks& callbacks) {
  Scanner<C> scanner(callbacks);
  scanner.run(std::basic_string_view<C>(data, length), line_no);
  PyObject* symbols = scanner.symbols.get();
  Ref sections(check(PyList_New(static_cast<Py_ssize_t>(scanner.sections.size()))));
  for (size_t k = 0; k < scanner.sections.size(); ++k) {
    PyList_SET_ITEM(sections.get(), static_cast<Py_ssize_t>(k), scanner.section_tuple(scanner.sections[k]));
  }
  return check(Py_BuildValue("(OOnOOn)", sections.get(), symbols, static_cast<Py_ssize_t>(scanner.lines_read),
                             scanner.finished ? Py_True : Py_False, scanner.saw_output ? Py_True : Py_False,
                             static_cast<Py_ssize_t>(scanner.open_at_end)));
}

constexpr const char* kScanDoc =
    "scan(text, offset, line_no, record_type, descriptors, is_non_allocated, symbol_name_from_section,\n"
    "     split_archive_member, holds_no_bytes)\n"
    "--\n\n"
    "Read the memory map part of a GNU ld map: text[offset:], whose first line is\n"
    "line line_no + 1.  Returns (sections, symbols, lines_read, finished, saw_output,\n"
    "open_at_end), sections as (name, vma, size, lma, fill, align_fill, has_content,\n"
    "stored, overrun_line) tuples, open_at_end the index of the section being read\n"
    "when the text ended (-1 for none), and\n"
    "symbols as record_type objects whose slots are set through descriptors.";

PyObject* scan(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 9) {
    PyErr_Format(PyExc_TypeError, "scan() takes 9 positional arguments (%zd given)", nargs);
    return nullptr;
  }
  PyObject* text = args[0];
  if (!PyUnicode_Check(text)) {
    PyErr_Format(PyExc_TypeError, "scan() argument 1 must be str, not %.100s", Py_TYPE(text)->tp_name);
    return nullptr;
  }
  Py_ssize_t offset = PyLong_AsSsize_t(args[1]);
  if (offset == -1 && PyErr_Occurred()) return nullptr;
  Py_ssize_t line_no = PyLong_AsSsize_t(args[2]);
  if (line_no == -1 && PyErr_Occurred()) return nullptr;
  if (offset < 0 || offset > PyUnicode_GET_LENGTH(text) || line_no < 0) {
    PyErr_SetString(PyExc_ValueError, "scan(): offset or line number out of range");
    return nullptr;
  }
  // Records are made as object.__new__ makes them, then filled slot by slot:
  // only valid for a type that object.__new__ creates, and slots of its own.
  auto* record_type = reinterpret_cast<PyTypeObject*>(args[3]);
  if (!PyType_Check(args[3]) || record_type->tp_new != PyBaseObject_Type.tp_new) {
    PyErr_SetString(PyExc_TypeError, "scan() argument 4 must be a type whose instances object.__new__ creates");
    return nullptr;
  }
  PyObject* descriptors = args[4];
  if (!PyTuple_Check(descriptors) || PyTuple_GET_SIZE(descriptors) != 9) {
    PyErr_SetString(PyExc_TypeError, "scan() argument 5 must be a tuple of 9 slot descriptors");
    return nullptr;
  }
  PyObject* setters[9];
  for (Py_ssize_t k = 0; k < 9; ++k) {
    setters[k] = PyTuple_GET_ITEM(descriptors, k);
    if (!Py_IS_TYPE(setters[k], &PyMemberDescr_Type) ||
        !PyType_IsSubtype(record_type, PyDescr_TYPE(setters[k]))) {
      PyErr_SetString(PyExc_TypeError, "scan() argument 5 must be a tuple of 9 slot descriptors of argument 4");
      return nullptr;
    }
  }
  for (int k = 5; k < 9; ++k) {
    if (!PyCallable_Check(args[k])) {
      PyErr_Format(PyExc_TypeError, "scan() argument %d must be callable", k + 1);
      return nullptr;
    }
  }
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(text) < 0) return nullptr;  // a legacy string of the old C API
#endif
  const int kind = PyUnicode_KIND(text);
  void* data = PyUnicode_DATA(text);
  const auto start = static_cast<size_t>(offset);
  const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(text) - offset);
  Callbacks callbacks{kind, PyUnicode_IS_ASCII(text) != 0, args[3], setters, args[5], args[6], args[7], args[8]};
  try {
    switch (kind) {
      case PyUnicode_1BYTE_KIND:
        return scan_text(static_cast<const char*>(data) + start, length, static_cast<size_t>(line_no), callbacks);
      case PyUnicode_2BYTE_KIND:
        return scan_text(static_cast<const char16_t*>(data) + start, length, static_cast<size_t>(line_no),
                         callbacks);
      default:
        return scan_text(static_cast<const char32_t*>(data) + start, length, static_cast<size_t>(line_no),
                         callbacks);
    }
  } catch (const PyErrorSet&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef mapscan_methods[] = {
    {"scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan)), METH_FASTCALL, kScanDoc},
    {"component_tallies", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(mapscan::component_tallies)),
     METH_FASTCALL, mapscan::kComponentTalliesDoc},
    {"symbol_sizes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(mapscan::symbol_sizes)),
     METH_FASTCALL, mapscan::kSymbolSizesDoc},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot mapscan_slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr}};

PyModuleDef mapscan_def = {
    PyModuleDef_HEAD_INIT,
    "brenvale._mapscan",
    "The memory map part of GNU ld maps, read in one pass, and the host's loops over a build's symbols.",
    0,
    mapscan_methods,
    mapscan_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__mapscan() { return PyModuleDef_Init(&mapscan_def); }
