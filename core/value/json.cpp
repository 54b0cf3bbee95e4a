// The JSON writer: the exact bytes of json.dumps, compact or indented.
//
// The writer walks the tree with an explicit stack instead of recursion: the depth
// limit comes from the interpreter's recursion limit, which a caller may set far
// beyond what a thread's C stack could hold in nested calls.
//
// A contract runs to tens of megabytes made of millions of short tokens, so the
// writer works on a raw cursor into the caller's string: one room check per token
// instead of std::string's own checks on every piece, and strings scanned a word at
// a time for the few bytes that need an escape.

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "text.hpp"
#include "text_utf8.hpp"

namespace bv {

namespace {

thread_local int t_max_depth = 1000;  // CPython's default recursion limit

// What follows the backslash for each byte: 0 for bytes copied as they are, 'u' for
// \u00XX, 'A' for the start of a non-ASCII character (ensure_ascii only).
struct EscapeTables {
  unsigned char unicode[256];
  unsigned char ascii[256];
};

constexpr EscapeTables make_escape_tables() {
  EscapeTables t{};
  for (int c = 0; c < 0x20; ++c) t.unicode[c] = 'u';
  t.unicode['\b'] = 'b';
  t.unicode['\f'] = 'f';
  t.unicode['\n'] = 'n';
  t.unicode['\r'] = 'r';
  t.unicode['\t'] = 't';
  t.unicode['"'] = '"';
  t.unicode['\\'] = '\\';
  for (int c = 0; c < 256; ++c) t.ascii[c] = t.unicode[c];
  t.ascii[0x7F] = 'u';  // ensure_ascii escapes everything outside " ".."~"
  for (int c = 0x80; c < 256; ++c) t.ascii[c] = 'A';
  return t;
}

constexpr EscapeTables kEscape = make_escape_tables();

// ---- word-at-a-time scanning ----
//
// Each mask below flags, in the high bit of a byte, the bytes of the word that need
// an escape. Borrows and carries can also flag bytes above a flagged one, never
// below, so the lowest flag is always the first byte to escape.

constexpr uint64_t kOnes = 0x0101010101010101u;
constexpr uint64_t kHighs = 0x8080808080808080u;

constexpr uint64_t zero_bytes(uint64_t x) { return (x - kOnes) & ~x & kHighs; }

// Bytes json.dumps(ensure_ascii=False) escapes: controls, '"' and '\\'.
constexpr uint64_t unicode_mask(uint64_t x) {
  return ((x - kOnes * 0x20) & ~x & kHighs) | zero_bytes(x ^ (kOnes * '"')) | zero_bytes(x ^ (kOnes * '\\'));
}

// ensure_ascii also escapes DEL and every byte of a non-ASCII character.
constexpr uint64_t ascii_mask(uint64_t x) { return unicode_mask(x) | (((x + kOnes) | x) & kHighs); }

// The word scan relies on the first byte in memory being the lowest in the word.
constexpr bool kWordScan = std::endian::native == std::endian::little;

uint64_t load8(const unsigned char* p) {
  uint64_t x;
  std::memcpy(&x, p, 8);
  return x;
}

// The n < 8 bytes at p in the low bytes of a word, zeros above (two overlapping
// loads: the bytes they share are the same, so or-ing them is harmless).
uint64_t load_short(const unsigned char* p, size_t n) {
  if (n >= 4) {
    uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);
    return lo | (uint64_t{hi} << (8 * (n - 4)));
  }
  if (n >= 2) {
    uint16_t lo, hi;
    std::memcpy(&lo, p, 2);
    std::memcpy(&hi, p + n - 2, 2);
    return lo | (uint64_t{hi} << (8 * (n - 2)));
  }
  return n ? p[0] : 0;
}

// The longest token other than strings and big ints: "-1.2345678901234567e-308"
// quoted as a key, or a separator plus a 20-digit int.
constexpr size_t kScalarRoom = 32;
// A string's running room check leaves this much beyond the bytes still to copy:
// the widest escape (two \uXXXX) plus the 8 bytes a word store may write past the
// cursor.
constexpr size_t kStringSlack = 24;

class JsonWriter {
 public:
  // indent < 0: compact separators ", " and ": "; otherwise newlines and `indent`
  // spaces per level with "," and ": " (json.dumps's defaults for each form).
  JsonWriter(std::string& out, bool ascii, int indent)
      : out_(out),
        start_(out.size()),
        ascii_(ascii),
        pretty_(indent >= 0),
        indent_(indent < 0 ? 0 : static_cast<size_t>(indent)) {
    newline_.push_back('\n');
  }

  // Writes the document and trims the string to what was written. On an error the
  // string is left holding unspecified bytes past start(); the caller cuts them.
  void write(const Value& root) {
    max_depth_ = static_cast<size_t>(t_max_depth < 0 ? 0 : t_max_depth);
    // The first guess only spares the early doublings; most documents are small.
    grow_to(start_ + 4096);
    cur_ = base_ + start_;
    room(kScalarRoom);
    if (open(root)) run();
    out_.resize(static_cast<size_t>(cur_ - base_));
  }

  size_t start() const { return start_; }

 private:
  struct Frame {
    const void* next;  // the next Value (list) or Member (map) to write
    const void* end;
    bool is_map;
    bool first;
  };

  void run() {
    while (!stack_.empty()) {
      Frame& f = stack_.back();
      if (f.is_map) {
        auto* m = static_cast<const Member*>(f.next);
        auto* mend = static_cast<const Member*>(f.end);
        // Scalars are written here; the loop leaves for the outer one only to
        // descend into a container (which moves `f`) or to close this one.
        while (m != mend) {
          item_prefix(f.first);
          f.first = false;
          write_key(m->key);
          room(2 + kScalarRoom);
          put2(':', ' ');
          const Value& v = (m++)->value;
          if (!write_value(v)) {
            f.next = m;
            descend(v);
            goto next_frame;
          }
        }
      } else {
        auto* it = static_cast<const Value*>(f.next);
        auto* iend = static_cast<const Value*>(f.end);
        while (it != iend) {
          item_prefix(f.first);
          f.first = false;
          const Value& v = *it++;
          if (!write_value(v)) {
            f.next = it;
            descend(v);
            goto next_frame;
          }
        }
      }
      close(f.is_map);
    next_frame:;
    }
  }

  // ---- the output buffer ----
  //
  // The caller's string is the buffer: it is sized to its whole capacity while we
  // write, so every byte up to end_ is ours, and trimmed to what was written at the
  // end.

  void room(size_t n) {
    if (static_cast<size_t>(end_ - cur_) < n) grow(n);
  }

  [[gnu::noinline]] void grow(size_t n) {
    size_t used = static_cast<size_t>(cur_ - base_);
    size_t want = out_.size() * 2;
    if (want < used + n) want = used + n;
    grow_to(want);
    cur_ = base_ + used;
  }

  void grow_to(size_t size) {
    if (size < out_.capacity()) size = out_.capacity();
    out_.resize(size);
    base_ = out_.data();
    end_ = base_ + out_.size();
  }

  void put(char c) { *cur_++ = c; }
  void put2(char a, char b) {
    cur_[0] = a;
    cur_[1] = b;
    cur_ += 2;
  }
  void put_bytes(const char* p, size_t n) {
    std::memcpy(cur_, p, n);
    cur_ += n;
  }

  // ---- structure ----

  // The separator and line break before an item, and room for a scalar after it.
  void item_prefix(bool first) {
    if (pretty_) {
      room(1 + newline_len_ + kScalarRoom);
      if (!first) put(',');
      put_bytes(newline_.data(), newline_len_);
    } else {
      room(2 + kScalarRoom);
      if (!first) put2(',', ' ');
    }
  }

  // Writes the root whole when it is a scalar or an empty container; false when it
  // was a container whose items run() then writes.
  bool open(const Value& v) {
    if (write_value(v)) return false;
    descend(v);
    return true;
  }

  // Writes a scalar or an empty container (room for a scalar already made) and
  // returns true; returns false, writing nothing, for a container with items.
  bool write_value(const Value& v) {
    switch (v.kind()) {
      case Kind::Null: put_bytes("null", 4); return true;
      case Kind::Bool:
        if (v.as_bool())
          put_bytes("true", 4);
        else
          put_bytes("false", 5);
        return true;
      case Kind::Int: write_int(v.as_int()); return true;
      case Kind::BigInt: write_big(v.big_digits()); return true;
      case Kind::Double: write_double(v.as_double()); return true;
      case Kind::String: write_string(v.str()); return true;
      case Kind::List:
        if (!v.items().empty()) return false;
        put2('[', ']');
        return true;
      case Kind::Map:
        if (!v.members().empty()) return false;
        put2('{', '}');
        return true;
      case Kind::Opaque: break;
    }
    not_serializable(v);
  }

  [[noreturn, gnu::noinline]] static void not_serializable(const Value& v) {
    raise(ErrKind::Type, "Object of type " + std::string(v.opaque_type()) + " is not JSON serializable");
  }

  // Opens a non-empty container: its bracket now, its items from run().
  void descend(const Value& c) {
    if (stack_.size() >= max_depth_) too_deep();
    bool is_map = c.kind() == Kind::Map;
    if (is_map) {
      const Map& m = c.members();
      stack_.push_back(Frame{m.data(), m.data() + m.size(), true, true});
    } else {
      const List& l = c.items();
      stack_.push_back(Frame{l.data(), l.data() + l.size(), false, true});
    }
    if (pretty_) set_depth(stack_.size());
    put(is_map ? '{' : '[');  // item_prefix() and the room checks before us left room
  }

  [[noreturn, gnu::noinline]] static void too_deep() {
    raise(ErrKind::Recursion, "maximum recursion depth exceeded while encoding a JSON object");
  }

  void close(bool is_map) {
    stack_.pop_back();
    if (pretty_) {
      set_depth(stack_.size());
      room(newline_len_ + 1 + kScalarRoom);
      put_bytes(newline_.data(), newline_len_);
    } else {
      room(1 + kScalarRoom);
    }
    put(is_map ? '}' : ']');
  }

  void set_depth(size_t depth) {
    newline_len_ = 1 + depth * indent_;
    if (newline_.size() < newline_len_) newline_.resize(newline_len_, ' ');
  }

  // json's rules for keys that are not strings: bool and None by their JSON names,
  // numbers by their repr, all quoted.
  void write_key(const Value& k) {
    switch (k.kind()) {
      case Kind::String: write_string(k.str()); return;
      case Kind::Null: put_bytes("\"null\"", 6); return;
      case Kind::Bool:
        if (k.as_bool())
          put_bytes("\"true\"", 6);
        else
          put_bytes("\"false\"", 7);
        return;
      case Kind::Int:
        put('"');
        write_int(k.as_int());
        put('"');
        return;
      case Kind::BigInt:
        room(k.big_digits().size() + 2);
        put('"');
        write_big(k.big_digits());
        put('"');
        return;
      case Kind::Double:
        put('"');
        write_double(k.as_double());
        put('"');
        return;
      default: bad_key(k);
    }
  }

  [[noreturn, gnu::noinline]] static void bad_key(const Value& k) {
    std::string type = k.kind() == Kind::Opaque ? std::string(k.opaque_type()) : type_name(k);
    raise(ErrKind::Type, "keys must be str, int, float, bool or None, not " + type);
  }

  // ---- scalars ----

  void write_int(int64_t i) { cur_ = std::to_chars(cur_, cur_ + 24, i).ptr; }

  void write_big(std::string_view digits) {
    room(digits.size() + 1);
    put_bytes(digits.data(), digits.size());
  }

  void write_double(double d) {
    if (std::isnan(d)) {
      put_bytes("NaN", 3);
    } else if (std::isinf(d)) {
      if (d < 0)
        put_bytes("-Infinity", 9);
      else
        put_bytes("Infinity", 8);
    } else {
      // repr has one home; its text is at most 24 bytes, within the room we keep.
      scratch_.clear();
      append_repr_double(scratch_, d);
      put_bytes(scratch_.data(), scratch_.size());
    }
  }

  void write_string(std::string_view s) {
    auto* p = reinterpret_cast<const unsigned char*>(s.data());
    auto* end = p + s.size();
    // Clean runs copy byte for byte, so room for the rest of the text plus the
    // slack holds until an escape, which renews it.
    room(s.size() + kStringSlack);
    put('"');
    if constexpr (kWordScan) {
      if (ascii_)
        scan_words<true>(p, end);
      else
        scan_words<false>(p, end);
    } else {
      scan_bytes(p, end);
    }
    // No escape takes more than half the slack, so the quote still fits.
    put('"');
  }

  template <bool kAscii>
  void scan_words(const unsigned char* p, const unsigned char* end) {
    while (p != end) {
      size_t left = static_cast<size_t>(end - p);
      size_t take = left < 8 ? left : 8;
      uint64_t x = left < 8 ? load_short(p, left) : load8(p);
      std::memcpy(cur_, &x, 8);
      // Past the text the short load has zeros, which look like controls: only a
      // flag within `take` counts.
      uint64_t flags = kAscii ? ascii_mask(x) : unicode_mask(x);
      size_t clean = flags ? static_cast<size_t>(std::countr_zero(flags)) / 8 : 8;
      if (clean >= take) {
        p += take;
        cur_ += take;
        continue;
      }
      p += clean;
      cur_ += clean;
      p = write_escape(p, end);
    }
  }

  void scan_bytes(const unsigned char* p, const unsigned char* end) {
    const unsigned char* table = ascii_ ? kEscape.ascii : kEscape.unicode;
    while (p != end) {
      if (!table[*p]) {
        *cur_++ = static_cast<char>(*p++);
        continue;
      }
      p = write_escape(p, end);
    }
  }

  // Escapes the character at p; returns where the text goes on.
  const unsigned char* write_escape(const unsigned char* p, const unsigned char* end) {
    room(static_cast<size_t>(end - p) + kStringSlack);
    unsigned char esc = (ascii_ ? kEscape.ascii : kEscape.unicode)[*p];
    if (esc == 'A') {
      size_t len;
      char32_t cp = utf8::decode(p, end, len);
      if (cp >= 0x10000) {
        cp -= 0x10000;
        put_u_escape(0xD800 | static_cast<unsigned>(cp >> 10));
        put_u_escape(0xDC00 | static_cast<unsigned>(cp & 0x3FF));
      } else {
        put_u_escape(static_cast<unsigned>(cp));
      }
      return p + len;
    }
    if (esc == 'u')
      put_u_escape(*p);
    else
      put2('\\', static_cast<char>(esc));
    return p + 1;
  }

  void put_u_escape(unsigned unit) {
    static const char kHex[] = "0123456789abcdef";
    cur_[0] = '\\';
    cur_[1] = 'u';
    cur_[2] = kHex[(unit >> 12) & 0xF];
    cur_[3] = kHex[(unit >> 8) & 0xF];
    cur_[4] = kHex[(unit >> 4) & 0xF];
    cur_[5] = kHex[unit & 0xF];
    cur_ += 6;
  }

  std::string& out_;
  size_t start_;
  char* base_ = nullptr;
  char* cur_ = nullptr;
  char* end_ = nullptr;
  bool ascii_;
  bool pretty_;
  size_t indent_;
  size_t max_depth_ = 0;
  size_t newline_len_ = 1;
  std::string newline_;  // "\n" and the deepest indentation seen so far
  std::string scratch_;  // a double's repr on its way to the cursor
  std::vector<Frame> stack_;
};

// On failure the output is left as it was, so a caller never sees half a document.
void write_json(std::string& out, const Value& v, bool ascii, int indent) {
  JsonWriter w(out, ascii, indent);
  try {
    w.write(v);
  } catch (...) {
    out.resize(w.start());
    throw;
  }
}

}  // namespace

void write_json_compact(std::string& out, const Value& v) { write_json(out, v, false, -1); }

void write_json_indent(std::string& out, const Value& v, int indent) {
  write_json(out, v, true, indent < 0 ? 0 : indent);
}

void write_json_indent_unicode(std::string& out, const Value& v, int indent) {
  write_json(out, v, false, indent < 0 ? 0 : indent);
}

void set_max_depth(int depth) noexcept { t_max_depth = depth; }
int max_depth() noexcept { return t_max_depth; }

}  // namespace bv
