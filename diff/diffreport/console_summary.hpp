// The plain-text console summary of a build diff.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/value/value.hpp"

namespace bv::diffreport {

// Item lines shown per ranked block.
inline constexpr size_t kConsoleRankedRows = 5;

// payload.get(key) on the diff payload, asked only for the keys the summary prints,
// in the order it prints them (the host binding converts each value on demand).
class PayloadView {
 public:
  virtual ~PayloadView() = default;
  // The value under key, or nullptr when the key is absent.
  virtual const Value* get(std::string_view key) = 0;
};

// A payload already held as a Value; anything but a map is an AttributeError, as
// calling get on it would be.
class ValuePayload : public PayloadView {
 public:
  explicit ValuePayload(const Value& payload) : payload_(payload) {}
  const Value* get(std::string_view key) override;

 private:
  const Value& payload_;
};

// The summary lines joined by "\n" (no final line feed). output_paths is null or a
// map from output name to path; anything else truthy is an AttributeError.
//
// Every value inserted into a line is its text form with control characters
// (C0, DEL, C1) written as visible escapes, so a crafted name cannot move the
// cursor, rewrite earlier lines or send escape sequences to the terminal.
std::string render_diff_console_summary(PayloadView& payload, const Value& output_paths);

// text with each C0 control, DEL and C1 control written as \t, \n, \r or \xNN
// (Python's spelling); every other character, the backslash included, unchanged.
void append_terminal_safe(std::string& out, std::string_view text);

// int(x) of a double in plain decimal; NaN and infinities (which int() cannot
// convert) print as 0, like any other delta that is not a number.
void append_truncated_int(std::string& out, double x);

}  // namespace bv::diffreport
