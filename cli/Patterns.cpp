#include "cli/Patterns.h"

#include "cli/Names.h"

namespace tailsnip::cli {

namespace {

// What is wrong with the wildcards of `glob`, or an empty string.
std::string WildcardError(std::string_view glob) {
  for (std::size_t at = 0; at < glob.size(); ++at) {
    if (glob[at] == '\\') {
      ++at; // a lone one at the end is refused before
      continue;
    }
    if (glob[at] != '[')
      continue;
    std::size_t i = at + 1;
    if (i < glob.size() && (glob[i] == '!' || glob[i] == '^'))
      ++i;
    for (bool first = true; i < glob.size() && (first || glob[i] != ']'); first = false, ++i) {
      if (glob[i] == '\\')
        ++i;
      else if (glob[i] == '[' && i + 1 < glob.size() && glob[i + 1] == ':')
        return "classes such as [:alpha:] are not supported";
    }
    if (i >= glob.size())
      return "a '[' has no ']'";
    at = i;
  }
  return {};
}

bool Matches(const Pattern &pattern, std::string_view text) {
  return pattern.wildcard ? MatchGlob(pattern.glob, text, '/') : text == pattern.glob;
}

} // namespace

std::string AddPattern(std::string_view text, std::vector<Pattern> &patterns) {
  // rsync takes these as a rule's kind or as clearing the list; taken as
  // names, an rsync exclude file would leave out nothing.
  if (text == "!" || text.rfind("- ", 0) == 0 || text.rfind("+ ", 0) == 0)
    return "rsync's rule prefixes ('- ', '+ ', '!') are not supported: give the pattern alone";
  Pattern pattern;
  pattern.anchored = !text.empty() && text.front() == '/';
  if (pattern.anchored)
    text.remove_prefix(1);
  pattern.folderOnly = !text.empty() && text.back() == '/';
  if (pattern.folderOnly)
    text.remove_suffix(1);
  if (text.empty())
    return "it matches no entry";
  // Only a file of patterns can hold one; no name does.
  if (text.find('\0') != std::string_view::npos)
    return "it holds a NUL byte, which no name holds";
  // A backslash at the end escapes nothing. Without a wildcard rsync takes
  // it as itself, but no name on Windows can hold one: it is refused too.
  const std::size_t lastOther = text.find_last_not_of('\\');
  const std::size_t backslashes =
      lastOther == std::string_view::npos ? text.size() : text.size() - 1 - lastOther;
  if (backslashes % 2 == 1)
    return "it ends in a lone '\\'";
  pattern.wildcard = text.find_first_of("*?[") != std::string_view::npos;
  if (pattern.wildcard)
    if (std::string error = WildcardError(text); !error.empty())
      return error;
  constexpr std::string_view kAllBeneath = "/***";
  if (text.size() > kAllBeneath.size() &&
      text.substr(text.size() - kAllBeneath.size()) == kAllBeneath) {
    // The folder itself, then everything beneath it; with a trailing '/',
    // the folders beneath it.
    std::string folder(text.substr(0, text.size() - kAllBeneath.size()));
    const std::string error = AddPattern((pattern.anchored ? "/" : "") + folder + "/", patterns);
    if (!error.empty())
      return error;
    patterns.back().ofAllBeneath = true;
    text.remove_suffix(1);
  }
  pattern.glob = std::string(text);
  pattern.wholePath = text.find('/') != std::string_view::npos ||
                      (pattern.wildcard && text.find("**") != std::string_view::npos);
  patterns.push_back(std::move(pattern));
  return {};
}

bool MatchesAny(const std::vector<Pattern> &patterns, std::string_view path, bool isFolder) {
  const std::size_t lastSeparator = path.rfind('/');
  const std::string_view name =
      lastSeparator == std::string_view::npos ? path : path.substr(lastSeparator + 1);
  for (const Pattern &pattern : patterns) {
    if (pattern.folderOnly && !isFolder)
      continue;
    if (pattern.anchored || !pattern.wholePath) {
      if (Matches(pattern, pattern.anchored ? path : name))
        return true;
      continue;
    }
    // A leading "**" reaches the top as well, as though the path began with
    // a separator: "**/.git/" leaves out the top's own .git too.
    if (pattern.wildcard && pattern.glob.rfind("**", 0) == 0) {
      if (Matches(pattern, "/" + std::string(path)))
        return true;
      continue;
    }
    // Each name on the path in turn may start what the pattern matches.
    for (std::size_t start = 0; start != std::string_view::npos;) {
      if (Matches(pattern, path.substr(start)))
        return true;
      const std::size_t separator = path.find('/', start);
      start = separator == std::string_view::npos ? separator : separator + 1;
    }
  }
  return false;
}

} // namespace tailsnip::cli
