// The JSON writer: the exact bytes of json.dumps, compact or indented.
//
// The writer walks the tree with an explicit stack instead of recursion: the depth
// limit comes from the interpreter's recursion limit, which a caller may set far
// beyond what a thread's C stack could hold in nested calls.

#include <cmath>
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

void append_u_escape(std::string& out, unsigned unit) {
  static const char kHex[] = "0123456789abcdef";
  char buf[6] = {'\\', 'u', kHex[(unit >> 12) & 0xF], kHex[(unit >> 8) & 0xF], kHex[(unit >> 4) & 0xF],
                 kHex[unit & 0xF]};
  out.append(buf, 6);
}

void append_json_string(std::string& out, std::string_view s, bool ascii) {
  const unsigned char* table = ascii ? kEscape.ascii : kEscape.unicode;
  auto* p = reinterpret_cast<const unsigned char*>(s.data());
  auto* end = p + s.size();
  out += '"';
  for (;;) {
    auto* run = p;
    while (p < end && !table[*p]) ++p;
    out.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
    if (p == end) break;
    unsigned char esc = table[*p];
    if (esc == 'A') {
      size_t len;
      char32_t cp = utf8::decode(p, end, len);
      if (cp >= 0x10000) {
        cp -= 0x10000;
        append_u_escape(out, 0xD800 | static_cast<unsigned>(cp >> 10));
        append_u_escape(out, 0xDC00 | static_cast<unsigned>(cp & 0x3FF));
      } else {
        append_u_escape(out, static_cast<unsigned>(cp));
      }
      p += len;
    } else if (esc == 'u') {
      append_u_escape(out, *p++);
    } else {
      char pair[2] = {'\\', static_cast<char>(esc)};
      out.append(pair, 2);
      ++p;
    }
  }
  out += '"';
}

void append_json_double(std::string& out, double d) {
  if (std::isnan(d))
    out += "NaN";
  else if (std::isinf(d))
    out += d < 0 ? "-Infinity" : "Infinity";
  else
    append_repr_double(out, d);
}

class JsonWriter {
 public:
  // indent < 0: compact separators ", " and ": "; otherwise newlines and `indent`
  // spaces per level with "," and ": " (json.dumps's defaults for each form).
  JsonWriter(std::string& out, bool ascii, int indent)
      : out_(out), ascii_(ascii), pretty_(indent >= 0), indent_(indent < 0 ? 0 : static_cast<size_t>(indent)) {
    newline_.push_back('\n');
  }

  void write(const Value& root) {
    max_depth_ = static_cast<size_t>(t_max_depth < 0 ? 0 : t_max_depth);
    open(root);
    while (!stack_.empty()) {
      Frame& top = stack_.back();
      const Value& c = *top.container;
      bool is_list = c.kind() == Kind::List;
      size_t n = is_list ? c.items().size() : c.members().size();
      if (top.next == n) {
        stack_.pop_back();
        if (pretty_) newline(stack_.size());
        out_ += is_list ? ']' : '}';
        continue;
      }
      size_t i = top.next++;  // `top` dies when open() pushes
      if (i > 0) {
        if (pretty_)
          out_ += ',';
        else
          out_.append(", ", 2);
      }
      if (pretty_) newline(stack_.size());
      if (is_list) {
        open(c.items()[i]);
      } else {
        const Member& m = c.members()[i];
        write_key(m.key);
        out_.append(": ", 2);
        open(m.value);
      }
    }
  }

 private:
  struct Frame {
    const Value* container;
    size_t next;
  };

  // Writes a scalar or an empty container whole, or the opening bracket of a
  // container whose items the main loop then writes.
  void open(const Value& v) {
    switch (v.kind()) {
      case Kind::Null: out_.append("null", 4); return;
      case Kind::Bool:
        if (v.as_bool())
          out_.append("true", 4);
        else
          out_.append("false", 5);
        return;
      case Kind::Int: append_int(out_, v.as_int()); return;
      case Kind::BigInt: out_.append(v.big_digits()); return;
      case Kind::Double: append_json_double(out_, v.as_double()); return;
      case Kind::String: append_json_string(out_, v.str(), ascii_); return;
      case Kind::List:
        if (v.items().empty()) {
          out_.append("[]", 2);
          return;
        }
        push(v);
        out_ += '[';
        return;
      case Kind::Map:
        if (v.members().empty()) {
          out_.append("{}", 2);
          return;
        }
        push(v);
        out_ += '{';
        return;
      case Kind::Opaque:
        raise(ErrKind::Type, "Object of type " + std::string(v.opaque_type()) + " is not JSON serializable");
    }
  }

  void push(const Value& container) {
    if (stack_.size() >= max_depth_)
      raise(ErrKind::Recursion, "maximum recursion depth exceeded while encoding a JSON object");
    stack_.push_back(Frame{&container, 0});
  }

  // json's rules for keys that are not strings: bool and None by their JSON names,
  // numbers by their repr, all quoted.
  void write_key(const Value& k) {
    switch (k.kind()) {
      case Kind::String: append_json_string(out_, k.str(), ascii_); return;
      case Kind::Null: out_.append("\"null\"", 6); return;
      case Kind::Bool:
        if (k.as_bool())
          out_.append("\"true\"", 6);
        else
          out_.append("\"false\"", 7);
        return;
      case Kind::Int:
        out_ += '"';
        append_int(out_, k.as_int());
        out_ += '"';
        return;
      case Kind::BigInt:
        out_ += '"';
        out_.append(k.big_digits());
        out_ += '"';
        return;
      case Kind::Double:
        out_ += '"';
        append_json_double(out_, k.as_double());
        out_ += '"';
        return;
      case Kind::Opaque:
        raise(ErrKind::Type, "keys must be str, int, float, bool or None, not " + std::string(k.opaque_type()));
      default: raise(ErrKind::Type, "keys must be str, int, float, bool or None, not " + type_name(k));
    }
  }

  void newline(size_t depth) {
    size_t len = 1 + depth * indent_;
    if (newline_.size() < len) newline_.resize(len, ' ');
    out_.append(newline_.data(), len);
  }

  std::string& out_;
  bool ascii_;
  bool pretty_;
  size_t indent_;
  size_t max_depth_ = 0;
  std::string newline_;  // "\n" and the deepest indentation seen so far
  std::vector<Frame> stack_;
};

// On failure the output is left as it was, so a caller never sees half a document.
void write_json(std::string& out, const Value& v, bool ascii, int indent) {
  size_t start = out.size();
  try {
    JsonWriter(out, ascii, indent).write(v);
  } catch (...) {
    out.resize(start);
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
