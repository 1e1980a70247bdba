// How tailsnip-cli shows names and matches them against patterns.
#ifndef TAILSNIP_CLI_NAMES_H
#define TAILSNIP_CLI_NAMES_H

#include <string>
#include <string_view>

namespace tailsnip::cli {

// Returns `name` as `ls --quoting-style=shell-escape` shows it: as it is
// when a shell reads it back unchanged, otherwise quoted: 'a b', "it's",
// 'a'$'\n''b'. Characters a shell treats specially (spaces, quotes, '$',
// '*', '?', '!', ...; '\' but where it separates folders), control
// characters and bytes that are not printable UTF-8 as the locale has it
// (unassigned code points, and every byte past ASCII where the locale is
// not UTF-8's), as octal escapes ($'\377'), make it quoted.
// Pasted into a shell, the result is `name` again, and no name can move the
// cursor or fake a line of its own.
std::string QuoteName(std::string_view name);

// Returns the operand `name` quoted as QuoteName quotes it, for a command
// line to paste: "./-dir" where it would read as an option.
std::string QuoteOperand(std::string_view name);

// Returns `name` quoted as QuoteName quotes it, even where it need not be
// ('a'), as `ls --quoting-style=shell-escape-always` does: for messages,
// where a name stands among other words.
std::string QuoteNameAlways(std::string_view name);

// Whether `name` matches `glob`: '*' matches any run of characters but
// `separator`, "**" any run at all, and '?' any one character but
// `separator`; "[a-z]" matches one of a set other than `separator`, and
// "[!a-z]" or "[^a-z]" one outside it. A backslash makes the character
// after it match itself. Everything else matches itself, as does a '['
// without its ']'.
bool MatchGlob(std::string_view glob, std::string_view name, char separator);

} // namespace tailsnip::cli

#endif
