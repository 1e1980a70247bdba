#include "cli/Names.h"

#include "cli/Console.h"
#include "engine/FolderPath.h"

#include <cstdio>
#include <cstring>

namespace tailsnip::cli {

namespace {

// How many bytes the printable character at `at` takes, or 0 when the byte
// there is to be escaped: a control character, a byte that starts no valid
// UTF-8 sequence, or one that a terminal would not show as itself
// (ShowsAsCharacter).
std::size_t PrintableLength(std::string_view name, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(name[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80)
    return lead >= 0x20 && lead != 0x7f ? 1 : 0;
  const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
  if (length == 0 || lead > 0xf4 || at + length > name.size())
    return 0;
  char32_t code = lead & (0x7f >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xc0) != 0x80)
      return 0;
    code = code << 6 | (byte(at + i) & 0x3f);
  }
  static const char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool valid = code >= kLeast[length] && code <= 0x10ffff && (code < 0xd800 || code > 0xdfff);
  return valid && ShowsAsCharacter(code) ? length : 0;
}

std::string Escape(unsigned char c) {
  static const char kLetters[] = "\aa\bb\ff\nn\rr\tt\vv";
  if (c != 0)
    if (const char *at = std::strchr(kLetters, c); at && (at - kLetters) % 2 == 0)
      return std::string{'\\', at[1]};
  char octal[8];
  std::snprintf(octal, sizeof octal, "\\%03o", c);
  return octal;
}

// Characters a shell reads as something else than themselves, as GNU's
// quoting has them; '#' and '~' only at the start, '}' only alone. So is a
// '{' before a '}', which GNU's quoting leaves, though bash would expand
// "{a,b}" into two names. Where '\\' separates folders, Windows' shells
// take it as it is.
bool IsShellSpecial(std::string_view name, std::size_t at) {
  const char c = name[at];
  if (c == '#' || c == '~')
    return at == 0;
  if (c == '{')
    return name.find('}', at + 1) != std::string_view::npos || name.size() == 1;
  if (c == '}')
    return name.size() == 1;
  if (c == '\\')
    return kPathSeparator != '\\';
  return c != '\0' && std::strchr(" !\"$&'()*;<=>?[^`|", c) != nullptr;
}

// Characters that read the same between double quotes as between single
// ones: a name whose quotes are apostrophes and which holds only these is
// shown as "it's" rather than 'it'\''s'.
bool IsPlainInDoubleQuotes(char c) {
  return c == ' ' || c == '\'' || c == '@' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || std::strchr("%+,-./:]_", c);
}

std::string Quote(std::string_view name, bool always) {
  bool quoted = always || name.empty();
  bool apostrophe = false;
  bool plainInDoubleQuotes = true;
  for (std::size_t at = 0; at < name.size();) {
    const std::size_t length = PrintableLength(name, at);
    if (length == 0) {
      quoted = true;
      plainInDoubleQuotes = false;
    } else if (length == 1) {
      quoted = quoted || IsShellSpecial(name, at);
      apostrophe = apostrophe || name[at] == '\'';
      plainInDoubleQuotes = plainInDoubleQuotes && IsPlainInDoubleQuotes(name[at]);
    }
    at += length == 0 ? 1 : length;
  }
  if (!quoted)
    return std::string(name);
  if (apostrophe && plainInDoubleQuotes)
    return "\"" + std::string(name) + "\"";
  // Printable runs between single quotes, the rest escaped within $'...'.
  std::string text = "'";
  bool escaping = false;
  for (std::size_t at = 0; at < name.size();) {
    const std::size_t length = PrintableLength(name, at);
    if (length == 0) {
      if (!escaping)
        text += "'$'";
      escaping = true;
      text += Escape(static_cast<unsigned char>(name[at++]));
      continue;
    }
    if (escaping)
      text += "''";
    escaping = false;
    if (name[at] == '\'')
      text += "'\\''";
    else
      text.append(name, at, length);
    at += length;
  }
  return text + "'";
}

// Reads one member of a set at `at`; a backslash makes the next character
// a member as it is.
unsigned char SetMember(std::string_view glob, std::size_t &at) {
  if (glob[at] == '\\' && at + 1 < glob.size())
    ++at;
  return static_cast<unsigned char>(glob[at++]);
}

// Matches one name character against the set that starts at `glob[at]` ==
// '['; moves `at` past the set. A '[' without its ']' is itself.
bool MatchSet(std::string_view glob, std::size_t &at, char c) {
  const auto byte = static_cast<unsigned char>(c);
  std::size_t i = at + 1;
  const bool negated = i < glob.size() && (glob[i] == '!' || glob[i] == '^');
  if (negated)
    ++i;
  bool found = false;
  for (bool first = true; i < glob.size() && (first || glob[i] != ']'); first = false) {
    const unsigned char low = SetMember(glob, i);
    unsigned char high = low;
    if (i + 1 < glob.size() && glob[i] == '-' && glob[i + 1] != ']') {
      ++i;
      high = SetMember(glob, i);
    }
    found = found || (low <= byte && byte <= high);
  }
  if (i >= glob.size()) { // no closing bracket
    ++at;
    return c == '[';
  }
  at = i + 1;
  return found != negated;
}

} // namespace

std::string QuoteName(std::string_view name) { return Quote(name, false); }

std::string QuoteOperand(std::string_view name) {
  return !name.empty() && name[0] == '-' ? QuoteName("./" + std::string(name)) : QuoteName(name);
}

std::string QuoteNameAlways(std::string_view name) { return Quote(name, true); }

bool MatchGlob(std::string_view glob, std::string_view name, char separator) {
  constexpr std::size_t kNone = std::string_view::npos;
  std::size_t g = 0, n = 0;
  // Where to try again: after the last '*' and after the last "**".
  std::size_t starGlob = kNone, starName = 0;
  std::size_t anyGlob = kNone, anyName = 0;
  while (n < name.size()) {
    if (g < glob.size() && glob[g] == '*') {
      const std::size_t stars = glob.find_first_not_of('*', g);
      const std::size_t end = stars == kNone ? glob.size() : stars;
      if (end - g > 1) {
        anyGlob = end;
        anyName = n;
        starGlob = kNone; // the "**" takes over what an earlier '*' could
      } else {
        starGlob = end;
        starName = n;
      }
      g = end;
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
      else if (glob[g] == '\\' && g + 1 < glob.size())
        matched = glob[next++] == c;
      else
        matched = glob[g] == c;
      if (matched) {
        g = next;
        ++n;
        continue;
      }
    }
    // Let the last '*' take one more character, never a separator; an
    // earlier '*' could not take more either without crossing one. Failing
    // that, the last "**" takes one more, whatever it is.
    if (starGlob != kNone && name[starName] != separator) {
      g = starGlob;
      n = ++starName;
    } else if (anyGlob != kNone) {
      starGlob = kNone;
      g = anyGlob;
      n = ++anyName;
    } else {
      return false;
    }
  }
  while (g < glob.size() && glob[g] == '*')
    ++g;
  return g == glob.size();
}

} // namespace tailsnip::cli
