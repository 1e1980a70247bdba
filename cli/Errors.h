// How tailsnip-cli tells of errors, and the statuses it ends with.
#ifndef TAILSNIP_CLI_ERRORS_H
#define TAILSNIP_CLI_ERRORS_H

#include <string>

namespace tailsnip::cli {

constexpr int kAllHandled = 0;
// An entry, a folder or a name in a list could not be handled, or standard
// output could not be written.
constexpr int kSomeFailed = 1;
// A usage error, a busy folder, or a stopped run waiting: that was left as it was.
constexpr int kRefused = 2;

// Says `message` on standard error, after the program's name. Names in it
// are quoted by QuoteNameAlways.
void Error(const std::string &message);

// Says `message` as an error of the command line, pointing to --help, and
// returns kRefused.
int UsageError(const std::string &message);

// Called first thing: standard output is closed when the program ends, and
// a write error there is said and ends it with kSomeFailed, so that a
// script never takes a cut-off list for a whole one; so does a write error
// on standard error, which nothing can say.
void CheckOutputAtExit();

// Returns `status`, the one the program ends with, and keeps it for the
// end: a write error found there raises it to kSomeFailed, never lowers a
// usage error's kRefused.
int EndingWith(int status);

// Notes the error of the write to standard output that just failed, if
// any (errno cleared before it), keeping it for the end.
void NoteOutputError();

// Flushes standard output now, keeping any error for the end.
void FlushOutput();

// Whether a write to standard output has failed: the runs stop at it, as at
// a stop signal, since a script must not take a cut-off list for a whole
// one. Safe to ask from any thread.
bool OutputFailed();

// Closes standard output once, saying so if it could not be written;
// returns false then. What CheckOutputAtExit runs, for an end by a signal;
// with `pipeSignalled`, SIGPIPE has told of a broken pipe already.
bool CloseOutput(bool pipeSignalled = false);

} // namespace tailsnip::cli

#endif
