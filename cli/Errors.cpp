#include "cli/Errors.h"

#include "cli/Console.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tailsnip::cli {

namespace {

// The first error met while writing standard output, for the end; read by
// the thread that starts entries.
std::atomic<int> outputError{0};
bool outputClosed = false;
int endingStatus = kAllHandled;

} // namespace

void Error(const std::string &message) { WriteText(stderr, "tailsnip-cli: " + message + "\n"); }

int UsageError(const std::string &message) {
  Error(message + " (see tailsnip-cli --help)");
  return kRefused;
}

void NoteOutputError() {
  if (outputError == 0 && std::ferror(stdout) != 0)
    outputError = errno != 0 ? errno : EIO;
}

void FlushOutput() {
  errno = 0;
  std::fflush(stdout);
  NoteOutputError();
}

bool OutputFailed() { return outputError != 0; }

bool CloseOutput(bool pipeSignalled) {
  if (outputClosed)
    return true;
  outputClosed = true;
  FlushOutput();
  errno = 0;
  if (std::fclose(stdout) != 0 && outputError == 0)
    outputError = errno != 0 ? errno : EIO;
  if (outputError == 0)
    return true;
  if (pipeSignalled && outputError == EPIPE)
    return false;
  Error(std::string("write error: ") + std::strerror(outputError));
  return false;
}

void CheckOutputAtExit() {
  std::atexit([] {
    if (!CloseOutput() || std::ferror(stderr) != 0)
      std::_Exit(endingStatus > kSomeFailed ? endingStatus : kSomeFailed);
  });
}

int EndingWith(int status) {
  endingStatus = status;
  return status;
}

} // namespace tailsnip::cli
