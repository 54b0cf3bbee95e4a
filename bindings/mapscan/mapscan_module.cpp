// brenvale._mapscan: the memory map part of a GNU ld map, read in one pass.
//
// A large map has close to a million lines, and a Python loop spends about a
// microsecond on each; this module runs the same line rules as the Python
// reader in readers/gnu_ld.py (which stays the reference and the fallback) and makes
// the SymbolEntry records itself.  It takes only what it can read exactly as
// the Python reader does: text whose characters all lie in Latin-1 (what an
// ASCII or Latin-1 decoded map gives), where Python's notion of whitespace and
// of a word character is a table of 256 entries, and numbers below 2**63
// without underscores.  For anything else scan() returns None and
// the caller reads the map in Python.
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
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using std::string_view;
using u64 = std::uint64_t;

constexpr u64 kIntMax = 0x7FFFFFFFFFFFFFFFull;  // the records hold signed 64-bit values

// Raised inside the scan: a Python error is set.
struct PyErrorSet {};
// Raised inside the scan: the text needs the Python reader.
struct NeedsPython {};

// An owned reference.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* p) : p_(p) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }

 private:
  PyObject* p_ = nullptr;
};

PyObject* check(PyObject* p) {
  if (p == nullptr) throw PyErrorSet{};
  return p;
}

// Character classes of the first 256 code points, as str methods and str
// patterns see them: whitespace for str.split(), str.rstrip() and \s; word
// characters (str.isalnum() or "_") for \b.
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
inline bool is_space(char c) { return kClasses[static_cast<unsigned char>(c)] == kSpace; }
inline bool is_word(char c) { return kClasses[static_cast<unsigned char>(c)] == kWord; }
constexpr auto kHexDigits = [] {
  std::array<signed char, 256> table{};
  table.fill(-1);
  for (int c = '0'; c <= '9'; ++c) table[static_cast<size_t>(c)] = static_cast<signed char>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) table[static_cast<size_t>(c)] = static_cast<signed char>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) table[static_cast<size_t>(c)] = static_cast<signed char>(c - 'A' + 10);
  return table;
}();
inline int hex_value(char c) { return kHexDigits[static_cast<unsigned char>(c)]; }

string_view rstrip(string_view s) {
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}
bool starts_with(string_view s, string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// str.split(None, maxsplit) into at most 4 parts; returns the number of parts.
int split(string_view s, int maxsplit, string_view* out) {
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

// int(digits, 16) of hex digits alone (what the header patterns capture).
u64 hex_digits(string_view digits) {
  u64 value = 0;
  for (char c : digits) {
    if (value > (kIntMax >> 4)) throw NeedsPython{};
    value = (value << 4) | static_cast<u64>(hex_value(c));
  }
  if (value > kIntMax) throw NeedsPython{};
  return value;
}

// int(token, 16) of a token that starts with "0x"; false where int() raises
// ValueError.  Underscores (which int() accepts between digits) and values
// past 2**63 - 1 are left to the Python reader.
bool parse_hex(string_view token, u64& value) {
  if (token.size() <= 2) return false;
  u64 result = 0;
  bool large = false;
  for (size_t i = 2; i < token.size(); ++i) {
    int digit = hex_value(token[i]);
    if (digit < 0) {
      if (token[i] == '_') throw NeedsPython{};
      return false;
    }
    large = large || result > (kIntMax >> 4);
    result = (result << 4) | static_cast<u64>(digit);
  }
  // Checked once the token is known to be a number: int() takes any size.
  if (large || result > kIntMax) throw NeedsPython{};
  value = result;
  return true;
}

// Length of a run of hex digits at the start of s.
size_t hex_run(string_view s) {
  size_t i = 0;
  while (i < s.size() && hex_value(s[i]) >= 0) ++i;
  return i;
}
size_t space_run(string_view s) {
  size_t i = 0;
  while (i < s.size() && is_space(s[i])) ++i;
  return i;
}

struct Header {
  u64 vma = 0, size = 0, lma = 0;
};

// The numbers of a section header: "0xVMA <ws> 0xSIZE [<ws> words <ws> 0xLMA] <ws>*"
// up to the end of s, as the header patterns of readers/gnu_ld.py read them.  The words
// are "load address" in the user's language ("address de chargement"): one or
// more runs of non-blanks that do not start with "0x".
bool header_numbers(string_view s, Header& out) {
  u64 numbers[3];
  for (int k = 0; k < 2; ++k) {
    if (!starts_with(s, "0x")) return false;
    s.remove_prefix(2);
    size_t digits = hex_run(s);
    if (digits == 0) return false;
    numbers[k] = hex_digits(s.substr(0, digits));
    s.remove_prefix(digits);
    size_t gap = space_run(s);
    if (k == 0 && gap == 0) return false;
    s.remove_prefix(gap);
    if (k == 1) {
      out.vma = numbers[0];
      out.size = numbers[1];
      out.lma = numbers[0];
      if (s.empty()) return true;
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
      out.lma = hex_digits(s.substr(0, digits));
      s.remove_prefix(digits);
      return space_run(s) == s.size();
    }
  }
  return false;
}

// ^(\S+)\s+<numbers>  (the line starts with a non-blank)
bool section_header(string_view line, string_view& name, Header& out) {
  size_t i = 0;
  while (i < line.size() && !is_space(line[i])) ++i;
  if (i == 0) return false;
  size_t gap = space_run(line.substr(i));
  if (gap == 0) return false;
  name = line.substr(0, i);
  return header_numbers(line.substr(i + gap), out);
}

// ^\s+<numbers>
bool header_continuation(string_view line, Header& out) {
  size_t gap = space_run(line);
  if (gap == 0) return false;
  return header_numbers(line.substr(gap), out);
}

// word\b at the start of s
bool word_at_start(string_view s, string_view word) {
  return starts_with(s, word) && (s.size() == word.size() || !is_word(s[word.size()]));
}

// ^(?:BYTE|SHORT|LONG|QUAD|SQUAD)\b
bool data_statement(string_view s) {
  for (string_view word : {"BYTE", "SHORT", "LONG", "QUAD", "SQUAD"}) {
    if (word_at_start(s, word)) return true;
  }
  return false;
}

// ^(?:\.\s|\.$|PROVIDE\b|PROVIDE_HIDDEN\b|HIDDEN\b|ASSERT\b|\S+\s+[-+*/|&]?=\s)
bool assignment(string_view s) {
  if (!s.empty() && s[0] == '.' && (s.size() == 1 || is_space(s[1]))) return true;
  for (string_view word : {"PROVIDE", "PROVIDE_HIDDEN", "HIDDEN", "ASSERT"}) {
    if (word_at_start(s, word)) return true;
  }
  size_t i = 0;
  while (i < s.size() && !is_space(s[i])) ++i;
  if (i == 0) return false;
  size_t gap = space_run(s.substr(i));
  if (gap == 0) return false;
  string_view rest = s.substr(i + gap);
  if (!rest.empty() && string_view("-+*/|&").find(rest[0]) != string_view::npos) {
    if (rest.size() >= 3 && rest[1] == '=' && is_space(rest[2])) return true;
  }
  return rest.size() >= 2 && rest[0] == '=' && is_space(rest[1]);
}

bool contains(string_view s, string_view part) { return s.find(part) != string_view::npos; }

struct Symbol {
  u64 address;
  string_view name;
};

struct Section {
  string_view name;
  Ref name_object;
  u64 vma, size, lma;
  u64 fill = 0, align_fill = 0;
  bool advanced = false, has_content = false, keep = false;
  // Whether the map shows bytes stored for the section: an input section that
  // holds some, or a data statement (zeroed inputs and reservations hold none).
  bool stored = false;
  size_t overrun_line = 0;  // the first input section that starts past the section's end
};

// An input section whose symbols are made once the next input section, fill
// or data statement of its output section, or the section's end, bounds it.
struct Entry {
  bool open = false;
  u64 start = 0, size = 0;
  string_view name, file;
  std::vector<Symbol> listed;
};

// A str of part of the text.  An ASCII text gives ASCII strings directly;
// otherwise CPython finds the narrowest form, as str slicing would.
PyObject* new_str(string_view s, bool ascii) {
  if (s.empty()) return check(PyUnicode_New(0, 0));  // an empty view may have no data pointer
  if (!ascii) {
    return check(PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, s.data(), static_cast<Py_ssize_t>(s.size())));
  }
  PyObject* text = check(PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127));
  std::memcpy(PyUnicode_DATA(text), s.data(), s.size());
  return text;
}

struct Callbacks {
  bool ascii;  // the text is ASCII, not only within Latin-1
  PyObject* record_type;
  PyObject* const* setters;  // the record's slot descriptors, in field order
  PyObject* is_non_allocated;
  PyObject* name_from_section;
  PyObject* split_member;
  PyObject* holds_no_bytes;
};

class Scanner {
 public:
  explicit Scanner(const Callbacks& callbacks) : symbols(check(PyList_New(0))), cb_(callbacks) {}

  std::vector<Section> sections;
  Ref symbols;  // the records, in map order
  size_t lines_read = 0;
  bool finished = false, saw_output = false;
  long open_at_end = -1;  // the section being read when the text ended

  void run(string_view text, size_t line_no) {
    long current = -1;  // index into sections
    // Where symbol lines go: the open entry, nowhere (an input section that
    // is not kept), or no input section at all.
    Target target = Target::none;
    string_view pending;
    bool has_pending = false, pending_output = false;
    string_view parts[4];
    size_t pos = 0;
    while (pos < text.size()) {
      size_t stop = text.find('\n', pos);
      if (stop == string_view::npos) stop = text.size();
      string_view line = text.substr(pos, stop - pos);
      // The caller turned "\r\n" into "\n"; only a last line without its
      // line break may still end in "\r".
      if (stop == text.size() && !line.empty() && line.back() == '\r') line.remove_suffix(1);
      pos = stop + 1;
      ++line_no;
      line_no_ = line_no;

      if (starts_with(line, "  ") && !has_pending) {
        if (current < 0) continue;
        target = statement_line(sections[current], target, line);
        continue;
      }
      if (line.empty()) continue;

      if (has_pending) {
        string_view name = pending;
        has_pending = false;
        if (pending_output) {
          Header header;
          if (header_continuation(line, header)) {
            current = open_section(name, header);
            continue;
          }
        } else {
          int n = split(line, 2, parts);
          if (n >= 2 && starts_with(parts[0], "0x") && starts_with(parts[1], "0x")) {
            u64 address, size;
            if (parse_hex(parts[0], address) && parse_hex(parts[1], size)) {
              target = add_entry(current, name, address, size, n > 2 ? rstrip(parts[2]) : string_view());
              continue;
            }
          }
        }
      }

      char first = line[0];
      if (first != ' ' && first != '\t') {
        if (current >= 0) finish(sections[current]);
        current = -1;
        target = Target::none;
        if (rstrip(line) == "Cross Reference Table") {
          finished = true;
          break;
        }
        if (starts_with(line, "OUTPUT(")) {
          saw_output = true;
          continue;
        }
        string_view name;
        Header header;
        if (section_header(line, name, header)) {
          current = open_section(name, header);
          continue;
        }
        string_view stripped = rstrip(line);
        if (stripped.find_first_of(" \t") == string_view::npos) {
          pending = stripped;
          has_pending = true;
          pending_output = true;
        }
        continue;
      }

      if (current < 0 || line.size() < 2) continue;
      Section& section = sections[current];

      if (line[1] != ' ') {
        int n = split(line, 3, parts);
        if (n == 0) continue;
        u64 address = 0, size = 0;
        bool numbers = n >= 3 && starts_with(parts[1], "0x") && starts_with(parts[2], "0x") &&
                       parse_hex(parts[1], address) && parse_hex(parts[2], size);
        if (!numbers) {
          target = Target::none;
          if (n == 1 && parts[0][0] != '*' && !contains(parts[0], "(")) {
            pending = parts[0];
            has_pending = true;
            pending_output = false;
          }
          continue;
        }
        if (parts[0] == "*fill*") {
          // Python's sum has no bound; a damaged map may pass 2**63 - 1.
          if (size > kIntMax - section.fill) throw NeedsPython{};
          section.fill += size;
          if (!section.advanced) section.align_fill += size;
          section.advanced = false;
          target = Target::none;
          if (size > 0) settle(section, address);  // the input before a fill ends here at the latest
          continue;
        }
        target = add_entry(current, parts[0], address, size, n > 3 ? rstrip(parts[3]) : string_view());
        continue;
      }
      target = statement_line(section, target, line);
    }
    if (current >= 0) finish(sections[current]);
    open_at_end = current;
    lines_read = line_no;
  }

 private:
  enum class Target { none, dropped, entry };

  const Callbacks& cb_;
  size_t line_no_ = 0;
  Entry entry_;
  std::vector<Symbol> points_;
  std::unordered_map<string_view, std::pair<Ref, Ref>> files_;  // (object file, archive) of a file text
  string_view last_file_text_;
  const std::pair<Ref, Ref>* last_file_ = nullptr;  // node-based map: stays valid
  std::unordered_map<string_view, Ref> names_;  // symbol_name_from_section results, None included

  long open_section(string_view name, const Header& header) {
    Section section;
    section.name = name;
    section.name_object = Ref(new_str(name, cb_.ascii));
    section.vma = header.vma;
    section.size = header.size;
    section.lma = header.lma;
    if (0 < header.size && header.vma + header.size <= kIntMax && header.lma <= kIntMax) {
      Ref answer(check(PyObject_CallOneArg(cb_.is_non_allocated, section.name_object.get())));
      int truth = PyObject_IsTrue(answer.get());
      if (truth < 0) throw PyErrorSet{};
      section.keep = truth == 0;
    }
    sections.push_back(std::move(section));
    return static_cast<long>(sections.size()) - 1;
  }

  Target add_entry(long current, string_view name, u64 address, u64 size, string_view file) {
    if (current < 0) return Target::dropped;
    Section& section = sections[current];
    if (!section.keep || size == 0) return Target::dropped;
    if (address > section.vma + section.size && section.overrun_line == 0) section.overrun_line = line_no_;
    if (!section.stored) {
      Ref name_object(new_str(name, cb_.ascii));
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
  Target statement_line(Section& section, Target target, string_view line) {
    string_view parts[4];
    int n = split(line, 1, parts);
    if (n < 2 || !starts_with(parts[0], "0x")) return target;
    string_view rest = rstrip(parts[1]);
    if (starts_with(rest, "0x")) {
      string_view words[4];
      int w = split(rest, 2, words);
      if (w > 1 && data_statement(words[1])) {
        section.has_content = true;
        section.stored = true;
        // words[0] starts with "0x" as rest does.
        u64 address, size;
        if (!parse_hex(parts[0], address) || !parse_hex(words[0], size)) return Target::none;
        if (size > 0) settle(section, address);
        return Target::none;
      }
      return target;
    }
    if (rest == "(size before relaxing)") return target;
    if (assignment(rest)) {
      if (starts_with(rest, ". =")) section.advanced = !contains(rest, "ALIGN");
      return Target::none;
    }
    if (target == Target::entry) {
      u64 address;
      if (parse_hex(parts[0], address)) entry_.listed.push_back(Symbol{address, rest});
    }
    return target;
  }

  const std::pair<Ref, Ref>& file_of(string_view file_text) {
    // Input sections of one object file tend to follow each other.
    if (last_file_ != nullptr && last_file_text_ == file_text) return *last_file_;
    auto found = files_.find(file_text);
    if (found == files_.end()) found = files_.emplace(file_text, split_file(file_text)).first;
    last_file_text_ = file_text;
    last_file_ = &found->second;
    return found->second;
  }

  std::pair<Ref, Ref> split_file(string_view file_text) {
    Ref text(new_str(file_text, cb_.ascii));
    Ref pair(check(PyObject_CallOneArg(cb_.split_member, text.get())));
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
      PyErr_SetString(PyExc_TypeError, "split_archive_member must return a pair");
      throw PyErrorSet{};
    }
    return {Ref(Py_NewRef(PyTuple_GET_ITEM(pair.get(), 0))), Ref(Py_NewRef(PyTuple_GET_ITEM(pair.get(), 1)))};
  }

  // symbol_name_from_section(name): a str, or None.
  PyObject* name_from_section(string_view name) {
    auto found = names_.find(name);
    if (found != names_.end()) return found->second.get();
    Ref text(new_str(name, cb_.ascii));
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
  void add_record(const Section& section, const std::pair<Ref, Ref>& file, PyObject* name, string_view name_text,
                  PyObject* demangled, u64 address, u64 size) {
    auto* type = reinterpret_cast<PyTypeObject*>(cb_.record_type);
    Ref record(check(type->tp_alloc(type, 0)));
    Ref name_object(name != nullptr ? Py_NewRef(name) : new_str(name_text, cb_.ascii));
    Ref address_object(check(PyLong_FromUnsignedLongLong(address)));
    Ref size_object(check(PyLong_FromUnsignedLongLong(size)));
    PyObject* values[9] = {
        name_object.get(), demangled,           address_object.get(), size_object.get(), section.name_object.get(),
        file.first.get(),  file.second.get(),   Py_None,              Py_None,
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
  void settle(Section& section, u64 bound) {
    if (!entry_.open) return;
    entry_.open = false;
    const u64 start = entry_.start;
    const u64 end = start + entry_.size;
    if (start < section.vma) return;  // not where the section is: a damaged line
    // Merged input (".rodata.*.str1.1", ".rodata.cst4"): ld prints it at the
    // current address with its size before merging, while its bytes went
    // into an earlier input section.
    if (end > bound) return;
    section.has_content = true;
    const std::pair<Ref, Ref>& file = file_of(entry_.file);

    std::vector<Symbol>& points = points_;
    points.clear();
    const std::vector<Symbol>& listed = entry_.listed;
    if (listed.size() == 1) {
      const Symbol& only = listed[0];
      if (only.address == start) {
        add_leading(section, file, only, start, end);
        return;
      }
      if (start < only.address && only.address < end) points.push_back(only);
    } else if (listed.size() > 1) {
      // Symbol lines outside the input section are absolute or belong to
      // the next statement; aliases at one address keep the first name.
      points = listed;
      std::stable_sort(points.begin(), points.end(),
                       [](const Symbol& a, const Symbol& b) { return a.address < b.address; });
      size_t kept = 0;
      for (const Symbol& symbol : points) {
        if (start <= symbol.address && symbol.address < end &&
            (kept == 0 || points[kept - 1].address != symbol.address)) {
          points[kept++] = symbol;
        }
      }
      points.resize(kept);
    }

    size_t first_point = 0;
    if (points.empty() || points[0].address != start) {
      PyObject* derived = name_from_section(entry_.name);
      const u64 first_end = points.empty() ? end : points[0].address;
      bool named = derived != Py_None && PyUnicode_GET_LENGTH(derived) > 0;
      add_record(section, file, named ? derived : nullptr, entry_.name, Py_None, start, first_end - start);
      if (points.empty()) return;
    } else {
      add_leading(section, file, points[0], start, points.size() > 1 ? points[1].address : end);
      first_point = 1;
    }
    for (size_t k = first_point; k < points.size(); ++k) {
      const u64 next = k + 1 < points.size() ? points[k + 1].address : end;
      add_record(section, file, nullptr, points[k].name, Py_None, points[k].address, next - points[k].address);
    }
  }

  // The symbol at the start of an input section: ld may have printed it
  // demangled, while the section name keeps the linkage name.
  void add_leading(const Section& section, const std::pair<Ref, Ref>& file, const Symbol& symbol, u64 start,
                   u64 end) {
    if (contains(symbol.name, "(") || contains(symbol.name, "::") || contains(symbol.name, " ")) {
      PyObject* derived = name_from_section(entry_.name);
      if (starts_with_z(derived)) {
        Ref demangled(new_str(symbol.name, cb_.ascii));
        add_record(section, file, derived, {}, demangled.get(), start, end - start);
        return;
      }
    }
    add_record(section, file, nullptr, symbol.name, Py_None, start, end - start);
  }

  void finish(Section& section) { settle(section, section.vma + section.size); }
};

PyObject* section_tuple(const Section& section) {
  return check(Py_BuildValue("(OKKKKKOOn)", section.name_object.get(), static_cast<unsigned long long>(section.vma),
                             static_cast<unsigned long long>(section.size), static_cast<unsigned long long>(section.lma),
                             static_cast<unsigned long long>(section.fill),
                             static_cast<unsigned long long>(section.align_fill),
                             section.has_content ? Py_True : Py_False, section.stored ? Py_True : Py_False,
                             static_cast<Py_ssize_t>(section.overrun_line)));
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
    "symbols as record_type objects whose slots are set through descriptors; or None\n"
    "when the text needs the Python reader (characters past U+00FF, numbers past\n"
    "2**63 - 1 or with underscores).";

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
  // Wider texts would need the whole Unicode database for whitespace and
  // word characters.
  if (PyUnicode_KIND(text) != PyUnicode_1BYTE_KIND) Py_RETURN_NONE;

  const char* data = static_cast<const char*>(PyUnicode_DATA(text));
  string_view part(data + offset, static_cast<size_t>(PyUnicode_GET_LENGTH(text) - offset));
  Callbacks callbacks{PyUnicode_IS_ASCII(text) != 0, args[3], setters, args[5], args[6], args[7], args[8]};
  try {
    Scanner scanner(callbacks);
    scanner.run(part, static_cast<size_t>(line_no));
    PyObject* symbols = scanner.symbols.get();
    Ref sections(check(PyList_New(static_cast<Py_ssize_t>(scanner.sections.size()))));
    for (size_t k = 0; k < scanner.sections.size(); ++k) {
      PyList_SET_ITEM(sections.get(), static_cast<Py_ssize_t>(k), section_tuple(scanner.sections[k]));
    }
    return check(Py_BuildValue("(OOnOOn)", sections.get(), symbols, static_cast<Py_ssize_t>(scanner.lines_read),
                               scanner.finished ? Py_True : Py_False, scanner.saw_output ? Py_True : Py_False,
                               static_cast<Py_ssize_t>(scanner.open_at_end)));
  } catch (const NeedsPython&) {
    Py_RETURN_NONE;
  } catch (const PyErrorSet&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef mapscan_methods[] = {
    {"scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan)), METH_FASTCALL, kScanDoc},
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
    "The memory map part of GNU ld maps, read in one pass (the Python reader is the reference).",
    0,
    mapscan_methods,
    mapscan_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__mapscan() { return PyModuleDef_Init(&mapscan_def); }
