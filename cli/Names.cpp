#include "cli/Names.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace tailsnip::cli {

namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

std::string Escape(unsigned char c) {
  switch (c) {
  case '\a':
    return "\\a";
  case '\b':
    return "\\b";
  case '\t':
    return "\\t";
  case '\n':
    return "\\n";
  case '\v':
    return "\\v";
  case '\f':
    return "\\f";
  case '\r':
    return "\\r";
  default: {
    char octal[8];
    std::snprintf(octal, sizeof octal, "\\%03o", c);
    return octal;
  }
  }
}

// Matches one name character against the set that starts after `glob[at]`
// == '['; moves `at` past the set. A '[' without its ']' is itself.
bool MatchSet(std::string_view glob, std::size_t &at, char c) {
  std::size_t i = at + 1;
  const bool negated = i < glob.size() && (glob[i] == '!' || glob[i] == '^');
  if (negated)
    ++i;
  bool found = false;
  for (bool first = true; i < glob.size() && (first || glob[i] != ']'); first = false) {
    const char low = glob[i];
    char high = low;
    if (i + 2 < glob.size() && glob[i + 1] == '-' && glob[i + 2] != ']') {
      high = glob[i + 2];
      i += 3;
    } else {
      ++i;
    }
    found = found || (low <= c && c <= high);
  }
  if (i >= glob.size()) { // no closing bracket
    ++at;
    return c == '[';
  }
  at = i + 1;
  return found != negated;
}

// Quotes as ls does for a shell: printable runs in single quotes, control
// characters as $'\n' or $'\033'.
std::string Quote(std::string_view name) {
  std::string quoted;
  bool open = false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsControl(byte)) {
      if (open)
        quoted += '\'';
      open = false;
      quoted += "$'" + Escape(byte) + "'";
      continue;
    }
    if (!open)
      quoted += '\'';
    open = true;
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  if (open)
    quoted += '\'';
  return quoted;
}

} // namespace

std::string QuoteName(std::string_view name) {
  for (const char c : name)
    if (IsControl(static_cast<unsigned char>(c)))
      return Quote(name);
  return std::string(name);
}

std::string ShellWord(std::string_view name) {
  static const char kSafe[] = "_-+=.,:/@%";
  for (const char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr(kSafe, c))
      return Quote(name);
  return name.empty() ? "''" : std::string(name);
}

bool MatchGlob(std::string_view glob, std::string_view name, char separator) {
  constexpr std::size_t kNone = std::string_view::npos;
  std::size_t g = 0, n = 0;
  std::size_t starGlob = kNone, starName = 0; // where to try again: the last '*'
  while (n < name.size()) {
    if (g < glob.size() && glob[g] == '*') {
      starGlob = ++g;
      starName = n;
      continue;
    }
    if (g < glob.size()) {
      std::size_t next = g + 1;
      const char c = name[n];
      bool matched;
      if (glob[g] == '?')
        matched = c != separator;
      else if (glob[g] == '[')
        matched = c != separator && MatchSet(glob, next = g, c);
      else
        matched = glob[g] == c;
      if (matched) {
        g = next;
        ++n;
        continue;
      }
    }
    // Let the last '*' take one more character, never a separator; an
    // earlier '*' could not take more either without crossing one.
    if (starGlob == kNone || name[starName] == separator)
      return false;
    g = starGlob;
    n = ++starName;
  }
  while (g < glob.size() && glob[g] == '*')
    ++g;
  return g == glob.size();
}

} // namespace tailsnip::cli
