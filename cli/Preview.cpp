#include "cli/Preview.h"

#include "cli/Names.h"

#include <algorithm>
#include <utility>

namespace tailsnip::cli {

namespace {

constexpr char kIndent[] = "  ";
constexpr char kGoesOn[] = "...";

// How many columns a printable character takes on a terminal, as wcwidth
// has it: East Asian wide characters and emoji two, the common combining
// marks and zero-width characters none, the rest one.
std::size_t Columns(char32_t code) {
  struct Range {
    char32_t first, last;
  };
  static const Range kNone[] = {{0x0300, 0x036f}, {0x0483, 0x0489}, {0x0591, 0x05bd},
                                {0x0610, 0x061a}, {0x064b, 0x065f}, {0x1ab0, 0x1aff},
                                {0x1dc0, 0x1dff}, {0x200b, 0x200f}, {0x20d0, 0x20ff},
                                {0xfe00, 0xfe0f}, {0xfe20, 0xfe2f}};
  // As glibc's wcwidth has them (Unicode 15), joined across unassigned
  // code points, which a terminal may draw either way: erring wide only
  // cuts a line sooner.
  static const Range kTwo[] = {
      {0x1100, 0x115f},   {0x231a, 0x231b},   {0x2329, 0x232a},   {0x23e9, 0x23ec},
      {0x23f0, 0x23f0},   {0x23f3, 0x23f3},   {0x25fd, 0x25fe},   {0x2614, 0x2615},
      {0x2648, 0x2653},   {0x267f, 0x267f},   {0x2693, 0x2693},   {0x26a1, 0x26a1},
      {0x26aa, 0x26ab},   {0x26bd, 0x26be},   {0x26c4, 0x26c5},   {0x26ce, 0x26ce},
      {0x26d4, 0x26d4},   {0x26ea, 0x26ea},   {0x26f2, 0x26f3},   {0x26f5, 0x26f5},
      {0x26fa, 0x26fa},   {0x26fd, 0x26fd},   {0x2705, 0x2705},   {0x270a, 0x270b},
      {0x2728, 0x2728},   {0x274c, 0x274c},   {0x274e, 0x274e},   {0x2753, 0x2755},
      {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27b0, 0x27b0},   {0x27bf, 0x27bf},
      {0x2b1b, 0x2b1c},   {0x2b50, 0x2b50},   {0x2b55, 0x2b55},   {0x2e80, 0x3029},
      {0x302e, 0x303e},   {0x3041, 0x3096},   {0x309b, 0xa4c6},   {0xa960, 0xa97c},
      {0xac00, 0xd7a3},   {0xf900, 0xfad9},   {0xfe10, 0xfe19},   {0xfe30, 0xfe6b},
      {0xff01, 0xff60},   {0xffe0, 0xffe6},   {0x16fe0, 0x16fe3}, {0x16ff0, 0x1b2fb},
      {0x1f004, 0x1f004}, {0x1f0cf, 0x1f0cf}, {0x1f18e, 0x1f18e}, {0x1f191, 0x1f19a},
      {0x1f200, 0x1f320}, {0x1f32d, 0x1f335}, {0x1f337, 0x1f37c}, {0x1f37e, 0x1f393},
      {0x1f3a0, 0x1f3ca}, {0x1f3cf, 0x1f3d3}, {0x1f3e0, 0x1f3f0}, {0x1f3f4, 0x1f3f4},
      {0x1f3f8, 0x1f43e}, {0x1f440, 0x1f440}, {0x1f442, 0x1f4fc}, {0x1f4ff, 0x1f53d},
      {0x1f54b, 0x1f54e}, {0x1f550, 0x1f567}, {0x1f57a, 0x1f57a}, {0x1f595, 0x1f596},
      {0x1f5a4, 0x1f5a4}, {0x1f5fb, 0x1f64f}, {0x1f680, 0x1f6c5}, {0x1f6cc, 0x1f6cc},
      {0x1f6d0, 0x1f6d2}, {0x1f6d5, 0x1f6df}, {0x1f6eb, 0x1f6ec}, {0x1f6f4, 0x1f6fc},
      {0x1f7e0, 0x1f7f0}, {0x1f90c, 0x1f93a}, {0x1f93c, 0x1f945}, {0x1f947, 0x1f9ff},
      {0x1fa70, 0x1faf6}, {0x20000, 0x3134a}};
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
