// The patterns that choose entries, read as rsync reads its include and
// exclude patterns.
#ifndef TAILSNIP_CLI_PATTERNS_H
#define TAILSNIP_CLI_PATTERNS_H

#include <string>
#include <string_view>
#include <vector>

namespace tailsnip::cli {

// One pattern. A leading '/' anchors it at the top (the operand's folder);
// otherwise it matches the end of a path, at a name's start. A trailing '/'
// makes it match folders only. One that holds another '/', or "**", is
// matched against the path below the top, any other against the entry's
// name alone; one starting with "**" matches at the top too ("**/x" matches
// x), as rsync has it. "dir/***" matches the folder dir and everything beneath it.
// With a wildcard ('*', '?' or '['), a backslash makes the character after
// it plain; without one, a backslash is itself.
struct Pattern {
  std::string glob; // without the leading and trailing '/'
  bool anchored = false;
  bool folderOnly = false;
  bool wholePath = false;
  bool wildcard = false;
  bool ofAllBeneath = false; // the folder of a "dir/***", beside "dir/**"
};

// Adds `text` to `patterns` ("dir/***" as two). Returns what is wrong with
// it (an empty pattern, an unterminated '[', a character class such as
// "[:alpha:]", a lone '\' at the end, one of rsync's rule prefixes), or an
// empty string when it is a pattern.
std::string AddPattern(std::string_view text, std::vector<Pattern> &patterns);

// Whether any of `patterns` matches the entry at `path`, its names below
// the top separated by '/'.
bool MatchesAny(const std::vector<Pattern> &patterns, std::string_view path, bool isFolder);

} // namespace tailsnip::cli

#endif
