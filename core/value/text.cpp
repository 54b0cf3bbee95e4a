// Text helpers with Python's semantics on UTF-8: markup escape, strip, the lower-casing
// that token tests need, case-insensitive search and repr() of a str.

#include <cstring>
#include <string>

#include "text.hpp"
#include "text_utf8.hpp"

namespace bv {

// ---- markup escape ----

void append_html_escape(std::string& out, std::string_view s) {
  const char* p = s.data();
  const char* end = p + s.size();
  const char* run = p;
  for (; p < end; ++p) {
    const char* entity;
    size_t len;
    switch (*p) {
      case '&': entity = "&amp;", len = 5; break;
      case '<': entity = "&lt;", len = 4; break;
      case '>': entity = "&gt;", len = 4; break;
      case '"': entity = "&quot;", len = 6; break;
      case '\'': entity = "&#x27;", len = 6; break;
      default: continue;
    }
    out.append(run, p);
    out.append(entity, len);
    run = p + 1;
  }
  out.append(run, end);
}

std::string html_escape(std::string_view s) {
  std::string out;
  append_html_escape(out, s);
  return out;
}

// ---- whitespace ----

std::string_view py_strip(std::string_view s) noexcept {
  // Most names start and end with a visible ASCII character: nothing to strip.
  if (!s.empty()) {
    auto first = static_cast<unsigned char>(s.front()), last = static_cast<unsigned char>(s.back());
    if (first > 0x20 && first < 0x7f && last > 0x20 && last < 0x7f) return s;
  }
  return utf8::strip_spaces(s, true);
}

bool is_blank(std::string_view s) noexcept { return py_strip(s).empty(); }

// ---- case ----

std::string py_lower_for_match(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 1);
  auto* p = reinterpret_cast<const unsigned char*>(s.data());
  auto* end = p + s.size();
  while (p < end) {
    auto* run = p;
    while (p < end && !((*p >= 'A' && *p <= 'Z') || *p == 0xC4 || *p == 0xE2)) ++p;
    out.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
    if (p == end) break;
    unsigned char c = *p;
    if (c >= 'A' && c <= 'Z') {
      out += static_cast<char>(c + 32);
      ++p;
    } else if (c == 0xC4 && end - p >= 2 && p[1] == 0xB0) {
      out += "i\xCC\x87";  // U+0130 lower-cases to "i" + COMBINING DOT ABOVE
      p += 2;
    } else if (c == 0xE2 && end - p >= 3 && p[1] == 0x84 && p[2] == 0xAA) {
      out += 'k';  // KELVIN SIGN
      p += 3;
    } else {
      out += static_cast<char>(c);
      ++p;
    }
  }
  return out;
}

namespace {

// Bytes of `hay` at p that the needle character c matches under re.IGNORECASE, or 0.
size_t icase_match_char(const unsigned char* p, const unsigned char* end, unsigned char c) noexcept {
  unsigned char h = *p;
  if (h < 0x80) {
    if (h >= 'A' && h <= 'Z') h = static_cast<unsigned char>(h + 32);
    return h == c ? 1 : 0;
  }
  switch (c) {
    case 'i':  // U+0130, U+0131
      return (h == 0xC4 && end - p >= 2 && (p[1] == 0xB0 || p[1] == 0xB1)) ? 2 : 0;
    case 's':  // U+017F LATIN SMALL LETTER LONG S
      return (h == 0xC5 && end - p >= 2 && p[1] == 0xBF) ? 2 : 0;
    case 'k':  // U+212A KELVIN SIGN
      return (h == 0xE2 && end - p >= 3 && p[1] == 0x84 && p[2] == 0xAA) ? 3 : 0;
    default:
      return h == c ? 1 : 0;  // a non-ASCII needle byte matches only itself
  }
}

}  // namespace

bool icase_contains(std::string_view hay, std::string_view needle) noexcept {
  if (needle.empty()) return true;
  auto* h = reinterpret_cast<const unsigned char*>(hay.data());
  auto* end = h + hay.size();
  auto* n = reinterpret_cast<const unsigned char*>(needle.data());
  auto* nend = n + needle.size();
  auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; };
  for (auto* start = h; start < end; ++start) {
    auto* p = start;
    auto* q = n;
    while (q < nend && p < end) {
      size_t used = icase_match_char(p, end, lower(*q));
      if (!used) break;
      p += used;
      ++q;
    }
    if (q == nend) return true;
  }
  return false;
}

// ---- repr ----

namespace {

// Approximates Python's str.isprintable() for one non-ASCII code point: the C1
// controls, the separators, the format characters and private or unassigned ranges
// that occur in practice are escaped; other code points pass through. Only error
// messages use this, so an exotic unassigned code point shown as itself is harmless.
bool printable_non_ascii(char32_t cp) noexcept {
  if (cp <= 0xA0) return false;  // C1 controls and NO-BREAK SPACE
  if (cp < 0x0600) return cp != 0xAD;
  if (cp <= 0x0605 || cp == 0x061C || cp == 0x06DD || cp == 0x070F || cp == 0x0890 || cp == 0x0891 || cp == 0x08E2)
    return false;
  if (cp == 0x1680 || cp == 0x180E) return false;
  if (cp >= 0x2000 && cp <= 0x200F) return false;
  if (cp >= 0x2028 && cp <= 0x202F) return false;
  if (cp >= 0x205F && cp <= 0x206F) return false;
  if (cp == 0x3000) return false;
  if (cp >= 0xD800 && cp <= 0xF8FF) return false;  // surrogates, private use
  if (cp == 0xFEFF || (cp >= 0xFFF0 && cp <= 0xFFFB) || cp == 0xFFFE || cp == 0xFFFF) return false;
  if (cp == 0x110BD || cp == 0x110CD || (cp >= 0x13430 && cp <= 0x1343F)) return false;
  if ((cp >= 0x1BCA0 && cp <= 0x1BCA3) || (cp >= 0x1D173 && cp <= 0x1D17A)) return false;
  if (cp >= 0x40000 && cp <= 0xDFFFF) return false;  // planes 4 to 13: unassigned
  if (cp >= 0xE0000 && cp <= 0xE00FF) return false;  // tags
  if (cp >= 0xE01F0) return false;                   // unassigned, then private use planes
  return true;
}

void append_hex_escape(std::string& out, char prefix, char32_t cp, int width) {
  static const char kHex[] = "0123456789abcdef";
  out += '\\';
  out += prefix;
  for (int shift = (width - 1) * 4; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 0xF];
}

}  // namespace

std::string py_repr_str(std::string_view s) {
  bool has_single = s.find('\'') != std::string_view::npos;
  bool has_double = s.find('"') != std::string_view::npos;
  char quote = (has_single && !has_double) ? '"' : '\'';
  std::string out;
  out.reserve(s.size() + 2);
  out += quote;
  auto* p = reinterpret_cast<const unsigned char*>(s.data());
  auto* end = p + s.size();
  while (p < end) {
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      if (c == static_cast<unsigned char>(quote) || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c == '\t') {
        out += "\\t";
      } else if (c == '\n') {
        out += "\\n";
      } else if (c == '\r') {
        out += "\\r";
      } else if (c < 0x20 || c == 0x7F) {
        append_hex_escape(out, 'x', c, 2);
      } else {
        out += static_cast<char>(c);
      }
      continue;
    }
    size_t len;
    char32_t cp = utf8::decode(p, end, len);
    if (cp == utf8::kReplacement && len == 1) {
      append_hex_escape(out, 'x', c, 2);  // not UTF-8: show the byte itself
    } else if (printable_non_ascii(cp)) {
      out.append(reinterpret_cast<const char*>(p), len);
    } else if (cp <= 0xFF) {
      append_hex_escape(out, 'x', cp, 2);
    } else if (cp <= 0xFFFF) {
      append_hex_escape(out, 'u', cp, 4);
    } else {
      append_hex_escape(out, 'U', cp, 8);
    }
    p += len;
  }
  out += quote;
  return out;
}

}  // namespace bv
