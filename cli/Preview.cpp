#include "cli/Preview.h"

#include "cli/Names.h"

#include <algorithm>
#include <utility>

namespace tailsnip::cli {

namespace {

constexpr char kIndent[] = "  ";
constexpr char kGoesOn[] = "...";

// How many columns a printable character takes on a terminal, as wcwidth
// has it for the common scripts: East Asian wide characters and emoji two,
// combining marks and zero-width characters none, the rest one.
std::size_t Columns(char32_t code) {
  struct Range {
    char32_t first, last;
  };
  static const Range kNone[] = {{0x0300, 0x036f}, {0x0483, 0x0489}, {0x0591, 0x05bd},
                                {0x0610, 0x061a}, {0x064b, 0x065f}, {0x1ab0, 0x1aff},
                                {0x1dc0, 0x1dff}, {0x200b, 0x200f}, {0x20d0, 0x20ff},
                                {0xfe00, 0xfe0f}, {0xfe20, 0xfe2f}};
  static const Range kTwo[] = {
      {0x1100, 0x115f}, {0x2e80, 0x303e},   {0x3041, 0x33ff},   {0x3400, 0x4dbf},  {0x4e00, 0x9fff},
      {0xa000, 0xa4cf}, {0xac00, 0xd7a3},   {0xf900, 0xfaff},   {0xfe30, 0xfe4f},  {0xff00, 0xff60},
      {0xffe0, 0xffe6}, {0x1f300, 0x1f64f}, {0x1f900, 0x1f9ff}, {0x20000, 0x3fffd}};
  const auto in = [code](const auto &ranges) {
    return std::any_of(std::begin(ranges), std::end(ranges), [code](const Range &range) {
      return range.first <= code && code <= range.last;
    });
  };
  return in(kNone) ? 0 : in(kTwo) ? 2 : 1;
}

// The character that starts at `at` in valid UTF-8 `text`; moves `at` past it.
char32_t NextCharacter(const std::string &text, std::size_t &at) {
  const auto lead = static_cast<unsigned char>(text[at++]);
  const std::size_t more = lead >= 0xf0 ? 3 : lead >= 0xe0 ? 2 : lead >= 0xc0 ? 1 : 0;
  char32_t code = lead & (0x7f >> more);
  for (std::size_t i = 0; i < more && at < text.size(); ++i)
    code = code << 6 | (static_cast<unsigned char>(text[at++]) & 0x3f);
  return code;
}

// `text`, printable UTF-8, cut to at most `limit` columns, "..." in place of
// what is cut.
std::string Fit(std::string text, std::size_t limit) {
  const std::size_t mark = std::min(limit, sizeof kGoesOn - 1);
  std::size_t width = 0;
  std::size_t cutAt = 0; // the longest start that leaves room for the mark
  for (std::size_t at = 0; at < text.size();) {
    width += Columns(NextCharacter(text, at));
    if (width > limit) {
      text.resize(cutAt);
      return text + std::string(kGoesOn, mark);
    }
    if (width <= limit - mark)
      cutAt = at;
  }
  return text;
}

// `start`, the first bytes of a longer line, without the first bytes of a
// character the cut split: they would show as bytes the line does not hold.
std::string WithoutSplitCharacter(std::string start) {
  for (std::size_t back = 1; back <= 3 && back <= start.size(); ++back) {
    const auto byte = static_cast<unsigned char>(start[start.size() - back]);
    if ((byte & 0xc0) == 0x80)
      continue; // within a character
    const std::size_t length = byte >= 0xf0 ? 4 : byte >= 0xe0 ? 3 : byte >= 0xc0 ? 2 : 1;
    if (length > back)
      start.resize(start.size() - back);
    break;
  }
  return start;
}

} // namespace

std::vector<std::string> ShowLostLines(const LostLines &lost, std::size_t columns) {
  std::vector<std::string> shown;
  // A line as wide as the terminal leaves the cursor on the next one in
  // some terminals (Windows' console), and its line feed an empty line.
  const auto add = [&](std::string text) {
    shown.push_back(columns > 0 ? Fit(std::move(text), std::max<std::size_t>(columns - 1, 1))
                                : std::move(text));
  };
  for (const LostLines::Line &line : lost.shown)
    add(kIndent + (line.cut ? QuoteName(WithoutSplitCharacter(line.start)) + kGoesOn
                            : QuoteName(line.start)));
  if (const std::uint64_t more = lost.count - lost.shown.size(); more > 0)
    add(std::string(kIndent) + "... and " + std::to_string(more) +
        (more == 1 ? " more line" : " more lines"));
  return shown;
}

} // namespace tailsnip::cli
