// The JSON writer: the exact bytes of json.dumps, compact or indented.
//
// The writer walks the tree with an explicit stack instead of recursion: the depth
// limit comes from the interpreter's recursion limit, which a caller may set far
// beyond what a thread's C stack could hold in nested calls.
//
// A contract runs to tens of megabytes made of millions of short tokens, so the
// writer works on a raw cursor into a staging block: one room check per token
// instead of std::string's own checks on every piece, strings scanned a word at a
// time for the few bytes that need an escape, and integers two digits at a time.

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "json_spelling.hpp"
#include "memory_hints.hpp"
#include "text.hpp"
#include "text_utf8.hpp"

namespace bv {

namespace {

// What follows the backslash for each byte: 0 for bytes copied as they are, 'u' for
// \u00XX, 'A' for the start of a non-ASCII character (ensure_ascii only).
struct EscapeTables {
  unsigned char unicode[256];
  unsigned char ascii[256];
};

constexpr EscapeTables make_escape_tables() {
  EscapeTables t{};
  for (int c = 0; c < 0x80; ++c) {
    const char e = json::short_escape(static_cast<char32_t>(c));
    t.unicode[c] = static_cast<unsigned char>(e ? e : c < 0x20 ? 'u' : 0);
  }
  for (int c = 0; c < 256; ++c) t.ascii[c] = t.unicode[c];
  t.ascii[0x7F] = 'u';  // ensure_ascii escapes everything outside " ".."~"
  for (int c = 0x80; c < 256; ++c) t.ascii[c] = 'A';
  return t;
}

constexpr EscapeTables kEscape = make_escape_tables();

// ---- word-at-a-time scanning ----
//
// The masks flag, in the high bit of each byte of a word, the bytes that need an
// escape. They work on the low seven bits of each byte, where no sum can carry into
// the next byte, so every flag is exact.

constexpr uint64_t kOnes = 0x0101010101010101u;
constexpr uint64_t kHighs = 0x8080808080808080u;
constexpr uint64_t kLows = kOnes * 0x7F;

// A byte's high bit ends up set when it is ASCII other than a control, '"' or '\'.
constexpr uint64_t plain_ascii(uint64_t x) {
  uint64_t low = x & kLows;
  return (low + kOnes * (0x80 - 0x20))           // >= 0x20
         & ((low ^ (kOnes * '"')) + kLows)       // != '"'
         & ((low ^ (kOnes * '\\')) + kLows)      // != '\\'
         & ~x;                                    // < 0x80
}

// What json.dumps(ensure_ascii=False) escapes: controls, '"' and '\\'; a non-ASCII
// byte is copied as it is.
constexpr uint64_t unicode_mask(uint64_t x) { return ~(plain_ascii(x) | x) & kHighs; }

// ensure_ascii also escapes DEL and every byte of a non-ASCII character.
constexpr uint64_t ascii_mask(uint64_t x) { return (~plain_ascii(x) | ((x & kLows) + kOnes)) & kHighs; }

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

// The decimal digits of v at p; returns the end. Two digits per division, written
// from the last, into a width known beforehand.
char* write_decimal(char* p, uint64_t v) {
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  static constexpr uint64_t kPow10[20] = {1u,
                                          10u,
                                          100u,
                                          1000u,
                                          10000u,
                                          100000u,
                                          1000000u,
                                          10000000u,
                                          100000000u,
                                          1000000000u,
                                          10000000000u,
                                          100000000000u,
                                          1000000000000u,
                                          10000000000000u,
                                          100000000000000u,
                                          1000000000000000u,
                                          10000000000000000u,
                                          100000000000000000u,
                                          1000000000000000000u,
                                          10000000000000000000u};
  // log10 from the bit length (1233/4096 just above log10(2)), then one correction.
  int guess = (64 - std::countl_zero(v | 1)) * 1233 >> 12;
  size_t width = static_cast<size_t>(guess + 1 - ((v | 1) < kPow10[guess]));
  char* end = p + width;
  char* q = end;
  while (v >= 100) {
    size_t pair = static_cast<size_t>(v % 100) * 2;
    v /= 100;
    q -= 2;
    std::memcpy(q, kPairs + pair, 2);
  }
  if (v >= 10) {
    std::memcpy(q - 2, kPairs + v * 2, 2);
  } else {
    q[-1] = static_cast<char>('0' + v);
  }
  return end;
}

// The longest token other than strings and big ints: "-1.2345678901234567e-308"
// quoted as a key, or a separator plus a 20-digit int.
constexpr size_t kScalarRoom = 32;
// A string's running room check leaves this much beyond the bytes still to copy:
// the widest escape (two \uXXXX) plus the 8 bytes a word store may write past the
// cursor.
constexpr size_t kStringSlack = 24;

// kAscii: ensure_ascii. kPretty: newlines and `indent` spaces per level with "," and
// ": "; otherwise the compact separators ", " and ": " (json.dumps's defaults for
// each form). Each form gets its own copy of the loops, free of tests for the others.
template <bool kAscii, bool kPretty>
class JsonWriter {
 public:
  JsonWriter(std::string& out, size_t indent, int max_depth)
      : out_(out), indent_(indent), max_depth_(static_cast<size_t>(max_depth < 0 ? 0 : max_depth)) {
    newline_.push_back('\n');
  }

  // Containers to leave out, in document order (each a non-empty one the walk
  // meets): where each belongs, the length written so far goes to `cuts`.
  void leave_out(std::span<const Value* const> values, std::vector<size_t>* cuts) {
    left_out_ = values;
    cuts_ = cuts;
  }

  // Appends the document to the caller's string; on an error the string is left as
  // it was, so a caller never sees half a document.
  void write(const Value& root) {
    size_t start = out_.size();
    try {
      room(kScalarRoom);
      if (open(root)) run();
      flush();
    } catch (...) {
      out_.resize(start);
      throw;
    }
  }

 private:
  // A table is written as the list of maps it stands for: its frame steps over rows,
  // a row's frame over its cells beside the table's keys.
  enum FrameKind : uint8_t { kListFrame, kMapFrame, kTableFrame, kRowFrame };
  struct Frame {
    const void* next;  // the next Value (list, row, table) or Member (map) to write
    const void* end;
    const Value* keys;  // a row: the key of the next cell; a table: its keys
    const Value* last;  // a row: the end of its table's cells (how far ahead to ask for)
    uint32_t width;     // a table: the cells of a row
    FrameKind kind;
    bool first;
  };

  // The strings and containers of a tree each sit in their own allocation, often the
  // caller's objects scattered over the heap, so the walk mostly waits for memory.
  // Asking for a later sibling's early lets some of those waits overlap.
  static constexpr ptrdiff_t kAhead = 4;
  static constexpr ptrdiff_t kCellsAhead = 12;

  static void prefetch(const Value& v) {
    switch (v.kind()) {
      case Kind::String: __builtin_prefetch(v.str_data()); return;
      case Kind::List: __builtin_prefetch(&v.items()); return;
      case Kind::Map: __builtin_prefetch(&v.members()); return;
      case Kind::Table: __builtin_prefetch(&v.table()); return;
      default: return;
    }
  }

  void run() {
    while (!stack_.empty()) {
      Frame& f = stack_.back();
      if (f.kind == kRowFrame) {
        auto* c = static_cast<const Value*>(f.next);
        auto* cend = static_cast<const Value*>(f.end);
        while (c != cend) {
          // A table's cells lie side by side: ask for the texts of the rows ahead.
          if (f.last - c > kCellsAhead) prefetch(c[kCellsAhead]);
          item_prefix(f.first);
          f.first = false;
          write_key(*f.keys++);
          room(2 + kScalarRoom);
          put2(':', ' ');
          const Value& v = *c++;
          if (!write_value(v)) {
            f.next = c;
            descend(v);
            goto next_frame;
          }
        }
      } else if (f.kind == kTableFrame) {
        auto* row = static_cast<const Value*>(f.next);
        if (row != f.end) {
          item_prefix(f.first);
          f.first = false;
          f.next = row + f.width;
          open_row(row, f.width, f.keys, static_cast<const Value*>(f.end));
          goto next_frame;
        }
      } else if (f.kind == kMapFrame) {
        auto* m = static_cast<const Member*>(f.next);
        auto* mend = static_cast<const Member*>(f.end);
        // Scalars are written here; the loop leaves for the outer one only to
        // descend into a container (which moves `f`) or to close this one.
        while (m != mend) {
          if (mend - m > kAhead) prefetch(m[kAhead].value);
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
          if (iend - it > kAhead) prefetch(it[kAhead]);
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
      close(f.kind == kMapFrame || f.kind == kRowFrame);
    next_frame:;
    }
  }

  // ---- the output buffer ----
  //
  // Tokens go to a small staging block that stays in cache and is appended to the
  // caller's string whenever it fills: std::string::resize would zero the memory we
  // are about to write, and a block of our own would need a full copy at the end.
  //
  // Filling tens of megabytes of fresh memory costs a page fault per 4 KiB, as much
  // as the writing itself; the caller's buffer asks for huge pages once it is large.

  // The first block suits a small document; one that fills it is likely large, and
  // a bigger block then means fewer appends.
  static constexpr size_t kFirstStage = size_t{4} << 10;
  static constexpr size_t kStage = size_t{256} << 10;

  void room(size_t n) {
    if (static_cast<size_t>(end_ - cur_) < n) make_room(n);
  }

  [[gnu::noinline]] void make_room(size_t n) {
    flush();
    size_t cap = static_cast<size_t>(end_ - stage_.get());
    size_t want = cap < kStage ? kStage : cap;
    // A string longer than the block: the block grows to hold it.
    if (want < n) want = cap * 2 > n ? cap * 2 : n;
    if (want == cap) return;
    stage_.reset();  // empty after flush(): nothing to keep
    stage_.reset(new char[want]);
    cur_ = stage_.get();
    end_ = cur_ + want;
  }

  void flush() {
    size_t n = static_cast<size_t>(cur_ - stage_.get());
    if (out_.capacity() - out_.size() < n) reserve_more(n);
    out_.append(stage_.get(), n);
    cur_ = stage_.get();
  }

  [[gnu::noinline]] void reserve_more(size_t n) {
    size_t want = out_.capacity() * 2;
    if (want < out_.size() + n) want = out_.size() + n;
    if (want < kHugeFrom) {
      out_.reserve(want);
      return;
    }
    // reserve() would copy into the new block before we could ask for huge pages;
    // a fresh string is advised first and filled after.
    std::string bigger;
    bigger.reserve(want);
    advise_huge_pages(bigger.data(), bigger.capacity());
    bigger.append(out_);
    out_.swap(bigger);
  }

  static constexpr size_t kHugeFrom = size_t{8} << 20;

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
    if constexpr (kPretty) {
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
      case Kind::Table:
        if (v.table().rows() != 0) return false;
        put2('[', ']');
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
    if (!left_out_.empty() && &c == left_out_.front()) [[unlikely]] {
      flush();
      cuts_->push_back(out_.size());
      left_out_ = left_out_.subspan(1);
      return;  // the frame above goes on with the next item
    }
    if (stack_.size() >= max_depth_) too_deep();
    bool is_map = c.kind() == Kind::Map;
    if (is_map) {
      const Map& m = c.members();
      stack_.push_back(Frame{m.data(), m.data() + m.size(), nullptr, nullptr, 0, kMapFrame, true});
    } else if (c.kind() == Kind::Table) {
      const Table& t = c.table();
      const Value* cells = t.cells.data();
      stack_.push_back(Frame{cells, cells + t.rows() * t.width, t.keys, nullptr, t.width, kTableFrame, true});
    } else {
      const List& l = c.items();
      stack_.push_back(Frame{l.data(), l.data() + l.size(), nullptr, nullptr, 0, kListFrame, true});
    }
    if constexpr (kPretty) set_depth(stack_.size());
    put(is_map ? '{' : '[');  // item_prefix() and the room checks before us left room
  }

  // Opens one row of a table as a map (a table's rows have at least one key).
  void open_row(const Value* cells, uint32_t width, const Value* keys, const Value* last) {
    if (stack_.size() >= max_depth_) too_deep();
    stack_.push_back(Frame{cells, cells + width, keys, last, 0, kRowFrame, true});
    if constexpr (kPretty) set_depth(stack_.size());
    put('{');
  }

  [[noreturn, gnu::noinline]] static void too_deep() {
    raise(ErrKind::Recursion, "maximum recursion depth exceeded while encoding a JSON object");
  }

  void close(bool is_map) {
    stack_.pop_back();
    if constexpr (kPretty) {
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
    raise(ErrKind::Type, std::string(json::kBadKey) + type);
  }

  // ---- scalars ----

  void write_int(int64_t i) {
    uint64_t mag = i < 0 ? 0 - static_cast<uint64_t>(i) : static_cast<uint64_t>(i);
    if (i < 0) put('-');
    cur_ = write_decimal(cur_, mag);
  }

  void write_big(std::string_view digits) {
    room(digits.size() + 1);
    put_bytes(digits.data(), digits.size());
  }

  void write_double(double d) {
    if (const std::string_view name = json::nonfinite(d); !name.empty()) {
      put_bytes(name.data(), name.size());
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
      scan_words(p, end);
    } else {
      scan_bytes(p, end);
    }
    // No escape takes more than half the slack, so the quote still fits.
    put('"');
  }

  static uint64_t escape_mask(uint64_t x) { return kAscii ? ascii_mask(x) : unicode_mask(x); }

  // Each word is stored before it is tested: a clean word then costs no more, and
  // the bytes past the first escape are overwritten.
  void scan_words(const unsigned char* p, const unsigned char* end) {
    while (end - p >= 8) {
      uint64_t x = load8(p);
      std::memcpy(cur_, &x, 8);
      uint64_t flags = escape_mask(x);
      if (!flags) {
        p += 8;
        cur_ += 8;
        continue;
      }
      size_t clean = static_cast<size_t>(std::countr_zero(flags)) / 8;
      p = write_escape(p + clean, end, clean);
    }
    while (p != end) {
      size_t left = static_cast<size_t>(end - p);
      uint64_t x = load_short(p, left);
      std::memcpy(cur_, &x, 8);
      // The zeros past the text look like controls, so there is always a flag; one
      // past the text means the rest was clean.
      size_t clean = static_cast<size_t>(std::countr_zero(escape_mask(x))) / 8;
      if (clean >= left) {
        cur_ += left;
        return;
      }
      p = write_escape(p + clean, end, clean);
    }
  }

  void scan_bytes(const unsigned char* p, const unsigned char* end) {
    const unsigned char* table = kAscii ? kEscape.ascii : kEscape.unicode;
    while (p != end) {
      if (!table[*p]) {
        *cur_++ = static_cast<char>(*p++);
        continue;
      }
      p = write_escape(p, end);
    }
  }

  // Escapes the character at p; returns where the text goes on. Out of line: most
  // text has no escape at all, and the scan loop keeps its registers.
  // `clean`: bytes of a word already stored at the cursor that belong to the output.
  [[gnu::noinline]] const unsigned char* write_escape(const unsigned char* p, const unsigned char* end,
                                                      size_t clean = 0) {
    cur_ += clean;
    room(static_cast<size_t>(end - p) + kStringSlack);
    unsigned char esc = (kAscii ? kEscape.ascii : kEscape.unicode)[*p];
    if (esc == 'A') {
      size_t len;
      cur_ = json::put_code_point_escape(cur_, utf8::decode(p, end, len));
      return p + len;
    }
    if (esc == 'u')
      cur_ = json::put_u_escape(cur_, *p);
    else
      put2('\\', static_cast<char>(esc));
    return p + 1;
  }

  std::string& out_;
  std::unique_ptr<char[]> stage_{new char[kFirstStage]};
  char* cur_ = stage_.get();
  char* end_ = cur_ + kFirstStage;
  size_t indent_;
  size_t max_depth_ = 0;
  size_t newline_len_ = 1;
  std::string newline_;  // "\n" and the deepest indentation seen so far
  std::string scratch_;  // a double's repr on its way to the cursor
  std::vector<Frame> stack_;
  std::span<const Value* const> left_out_;
  std::vector<size_t>* cuts_ = nullptr;
};

size_t indent_width(int indent) { return indent < 0 ? 0 : static_cast<size_t>(indent); }

}  // namespace

void write_json_compact(std::string& out, const Value& v, int max_depth) {
  JsonWriter<false, false>(out, 0, max_depth).write(v);
}

std::vector<std::string> write_json_compact_parts(const Value& v, int max_depth) {
  // The pieces: the root's members that are containers, or the items and values
  // inside those that hold several; each is a document of its own at its depth.
  std::vector<const Value*> pieces;
  std::vector<int> depth;
  auto add = [&](const Value& x, int d) {
    if ((x.is_list() || x.is_map()) && x.size() != 0) {
      pieces.push_back(&x);
      depth.push_back(d);
    }
  };
  if (v.is_map() && max_depth > 2) {
    for (const Member& m : v.members()) {
      const Value& x = m.value;
      if (x.is_list() && x.size() >= 2) {
        for (const Value& item : x.items()) add(item, 2);
      } else if (x.is_map() && x.size() >= 2) {
        for (const Member& inner : x.members()) add(inner.value, 2);
      } else {
        add(x, 1);
      }
    }
  }

  std::vector<std::string> texts(pieces.size());
  std::vector<std::exception_ptr> errors(pieces.size());
  // This thread takes pieces from the front once the skeleton is written, the other
  // from the back: whichever end holds the largest, the two meet near the middle.
  std::mutex claim;
  size_t front = 0, back = pieces.size();
  auto write_pieces = [&](bool from_back) {
    for (;;) {
      size_t i;
      {
        std::lock_guard<std::mutex> lock(claim);
        if (front == back) return;
        i = from_back ? --back : front++;
      }
      try {
        JsonWriter<false, false>(texts[i], 0, max_depth - depth[i]).write(*pieces[i]);
      } catch (...) {
        errors[i] = std::current_exception();
      }
    }
  };
  std::string skeleton;
  std::vector<size_t> cuts;
  std::exception_ptr skeleton_error;
  {
    std::jthread other;
    if (pieces.size() > 1 && std::thread::hardware_concurrency() >= 2) {
      try {
        other = std::jthread(write_pieces, true);
      } catch (const std::system_error&) {
        // no second thread: this one writes every piece
      }
    }
    try {
      JsonWriter<false, false> w(skeleton, 0, max_depth);
      w.leave_out(pieces, &cuts);
      w.write(v);
    } catch (...) {
      skeleton_error = std::current_exception();
    }
    write_pieces(false);
  }
  // The error one walk would meet first: a piece's before the skeleton's, when the
  // skeleton's came after that piece's place.
  const size_t reached = skeleton_error ? cuts.size() : pieces.size();
  for (size_t i = 0; i < reached; ++i)
    if (errors[i]) std::rethrow_exception(errors[i]);
  if (skeleton_error) std::rethrow_exception(skeleton_error);

  std::vector<std::string> parts;
  parts.reserve(2 * pieces.size() + 1);
  size_t from = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    parts.emplace_back(skeleton, from, cuts[i] - from);
    parts.push_back(std::move(texts[i]));
    from = cuts[i];
  }
  parts.emplace_back(skeleton, from);
  return parts;
}

void write_json_indent(std::string& out, const Value& v, int indent, int max_depth) {
  JsonWriter<true, true>(out, indent_width(indent), max_depth).write(v);
}

void write_json_indent_unicode(std::string& out, const Value& v, int indent, int max_depth) {
  JsonWriter<false, true>(out, indent_width(indent), max_depth).write(v);
}

}  // namespace bv
