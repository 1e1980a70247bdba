// How tailsnip-cli shows names and matches them against patterns.
#ifndef TAILSNIP_CLI_NAMES_H
#define TAILSNIP_CLI_NAMES_H

#include <string>
#include <string_view>

namespace tailsnip::cli {

// Returns `name` as it is when it holds no control character; otherwise
// quoted as ls quotes it for a shell: 'a'$'\n''b'. A list then keeps one
// name a line, and no name can move the cursor or fake a line of its own.
std::string QuoteName(std::string_view name);

// Returns `name` as one word a shell reads back as `name`: as it is when
// it holds only letters, digits and "_-+=.,:/@%", otherwise quoted the same way.
std::string ShellWord(std::string_view name);

// Whether `name` matches `glob`: '*' matches any run of characters and '?'
// any one, neither matching `separator`; "[a-z]" matches one of a set, and
// "[!a-z]" or "[^a-z]" one outside it. Everything else matches itself.
bool MatchGlob(std::string_view glob, std::string_view name, char separator);

} // namespace tailsnip::cli

#endif
