// The signals that ask tailsnip-cli to stop, and how it then ends.
#ifndef TAILSNIP_CLI_SIGNALS_H
#define TAILSNIP_CLI_SIGNALS_H

namespace tailsnip::cli {

// From here on SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE (SIGINT,
// SIGTERM and SIGBREAK on Windows) only note that the run is to stop; one
// that was ignored when the program started (as nohup and background jobs
// have it) stays ignored.
void CatchStopSignals();

// From here on a write past the limit on file size (ulimit -f) fails with
// EFBIG, as on a full disk, rather than end the program by SIGXFSZ mid-run:
// the file whose copy it is is kept and reported. Nothing on Windows.
void LetWritesPastTheSizeLimitFail();

// The first stop signal caught, or 0.
int StopSignal();

// Whether that was SIGPIPE: a reader of the output has gone.
bool StoppedByBrokenPipe();

// Ends the process as `signal` would have ended it, so that a shell or a
// parent sees it and the shell's status is 128 + `signal`.
[[noreturn]] void EndBySignal(int signal);

} // namespace tailsnip::cli

#endif
