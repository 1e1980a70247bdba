// What tailsnip-cli does differently on a POSIX terminal and a Windows console.
#ifndef TAILSNIP_CLI_CONSOLE_H
#define TAILSNIP_CLI_CONSOLE_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace tailsnip::cli {

// Whether `stream` is a terminal (a console on Windows), by the C runtime.
bool IsTerminal(std::FILE *stream);

// The width of the terminal (console) behind `stream`, in columns: as it
// tells it, else as COLUMNS says, else 80.
std::size_t TerminalWidth(std::FILE *stream);

// Whether a terminal shows `code`, a character past ASCII, as itself, as
// `ls` judges it: where the user's locale reads text as UTF-8 and has it
// printable (not a control, a line separator or a code point unassigned);
// never where the locale is not UTF-8's (LC_ALL=C). On Windows, where the
// program runs with UTF-8 as its code page, every one but the C1 controls
// and the line and paragraph separators.
bool ShowsAsCharacter(char32_t code);

// Writes `text`, UTF-8, to `stream` so that a terminal shows its
// characters. A Windows console reads bytes in its own code page, not the
// program's, so it is written UTF-16 there; everywhere else, and where the
// console refuses it, the bytes go through the C runtime as they are, which
// keeps its order and its record of failures.
void WriteText(std::FILE *stream, std::string_view text);

// Makes standard input deliver its bytes as they are: Windows would turn
// CR LF into LF and end at the byte 0x1A.
void ReadStandardInputAsBytes();

// Whether `path` names an existing folder, links followed. False on any error.
bool IsFolder(const std::string &path);

// Whether `path` names a root folder, whose files are all a system's or a
// drive's: "/" by its device and inode, whatever the name ("//", "/..", a
// link to it, a bind mount of it); on Windows the root of any drive or
// volume, mounted in a folder or not, by the path within its volume that
// the system gives the folder opened. False when that cannot be learnt.
bool IsRootFolder(const std::string &path);

// What to write after a carriage return so that a line of `width` characters
// drawn there before is gone and the cursor is back at its start. Windows
// consoles before Windows 10 know no escape sequences, so there the old line
// is overwritten with spaces.
std::string EraseLine(std::size_t width);

// Gives each standard stream the program was started without (closed by
// its caller, as `2>&-` does) a handle on which every read and write fails,
// as on the closed one: otherwise the next file opened would take its
// number, and what was meant for the stream would land in that file. Done
// first thing; nothing to do on Windows, whose handles are not reused so.
void HoldClosedStandardStreams();

// Raises this process's limit on open files as far as the system lets the
// user: a run holds open every folder down to the one it works in, and its
// copies in flight. Nothing to do on Windows, whose handles have no such
// limit. Where the limit cannot be raised, runs work within it.
void AllowAllOpenFiles();

} // namespace tailsnip::cli

#endif
