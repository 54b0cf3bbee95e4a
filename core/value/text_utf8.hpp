// UTF-8 helpers shared by the text and JSON sources of the value library.
//
// Strings reach us from Python encoded with "surrogatepass", so lone surrogates
// arrive as ordinary three-byte sequences (ED A0 80 .. ED BF BF) and decode to
// U+D800..U+DFFF like any other code point. Bytes that are not valid UTF-8 never
// come from the converter; they still decode to something (one byte at a time,
// as U+FFFD) so that no input can make us read past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace bv::utf8 {

constexpr char32_t kReplacement = 0xFFFD;

inline bool is_cont(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

// Decodes the code point at p (p < end); returns it and sets `len` to the bytes used.
inline char32_t decode(const unsigned char* p, const unsigned char* end, size_t& len) noexcept {
  unsigned char c = p[0];
  if (c < 0x80) {
    len = 1;
    return c;
  }
  size_t avail = static_cast<size_t>(end - p);
  if (c >= 0xC2 && c < 0xE0) {
    if (avail >= 2 && is_cont(p[1])) {
      len = 2;
      return (char32_t(c & 0x1F) << 6) | (p[1] & 0x3F);
    }
  } else if (c >= 0xE0 && c < 0xF0) {
    if (avail >= 3 && is_cont(p[1]) && is_cont(p[2])) {
      char32_t cp = (char32_t(c & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
      if (cp >= 0x800) {
        len = 3;
        return cp;
      }
    }
  } else if (c >= 0xF0 && c < 0xF5) {
    if (avail >= 4 && is_cont(p[1]) && is_cont(p[2]) && is_cont(p[3])) {
      char32_t cp = (char32_t(c & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) | (char32_t(p[2] & 0x3F) << 6) |
                    (p[3] & 0x3F);
      if (cp >= 0x10000 && cp <= 0x10FFFF) {
        len = 4;
        return cp;
      }
    }
  }
  len = 1;
  return kReplacement;
}

// Byte length of the whitespace character at p (p < end), or 0. `separators` adds
// U+001C..U+001F, which str.strip() removes but int() and float() do not.
inline size_t space_len_fwd(const unsigned char* p, const unsigned char* end, bool separators) noexcept {
  unsigned char c = p[0];
  if (c < 0x80) return (c == ' ' || (c >= 0x09 && c <= 0x0D) || (separators && c >= 0x1C && c <= 0x1F)) ? 1 : 0;
  // Every non-ASCII space starts with C2, E1, E2 or E3.
  if (c != 0xC2 && (c < 0xE1 || c > 0xE3)) return 0;
  size_t len;
  char32_t cp = decode(p, end, len);
  bool space = cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 ||
               cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
  return space ? len : 0;
}

// Byte length of the whitespace character that ends [begin, end) (begin < end), or 0.
inline size_t space_len_back(const unsigned char* begin, const unsigned char* end, bool separators) noexcept {
  const unsigned char* q = end - 1;
  while (q > begin && end - q < 4 && is_cont(*q)) --q;
  size_t len = space_len_fwd(q, end, separators);
  return len == static_cast<size_t>(end - q) ? len : 0;
}

// The text without leading and trailing whitespace.
inline std::string_view strip_spaces(std::string_view s, bool separators) noexcept {
  auto* b = reinterpret_cast<const unsigned char*>(s.data());
  auto* e = b + s.size();
  while (b < e) {
    size_t n = space_len_fwd(b, e, separators);
    if (!n) break;
    b += n;
  }
  while (e > b) {
    size_t n = space_len_back(b, e, separators);
    if (!n) break;
    e -= n;
  }
  return {reinterpret_cast<const char*>(b), static_cast<size_t>(e - b)};
}

}  // namespace bv::utf8
