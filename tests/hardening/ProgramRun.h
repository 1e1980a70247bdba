// Runs a program as a child process and reports how it ended, for tests and
// measurements that drive tailsnip-cli from outside.
#ifndef TAILSNIP_TESTS_HARDENING_PROGRAMRUN_H
#define TAILSNIP_TESTS_HARDENING_PROGRAMRUN_H

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tailsnip::hardening {

struct ProgramRun {
  bool started = false;
  bool timedOut = false;
  int exitCode = -1; // when it exited
  int signal = 0;    // when a signal ended it
  std::string output;
  std::string errors;
  double seconds = 0;
  long peakResidentKiB = 0;

  bool exited() const { return started && !timedOut && signal == 0; }
  std::string describe() const {
    if (!started)
      return "could not be started";
    if (timedOut)
      return "did not finish in time and was killed";
    if (signal != 0)
      return "was ended by signal " + std::to_string(signal) + "; its errors: " + errors;
    return "exited with " + std::to_string(exitCode) + "; its output: " + output +
           " its errors: " + errors;
  }
};

// Sanitizer settings for a child that sits behind a preloaded library or a
// tracer, and whose own findings must not pass for its ordinary exit codes.
inline std::vector<std::string> SanitizerEnvironment(bool underTracer = false) {
  const char *asan = std::getenv("ASAN_OPTIONS");
  std::string options = asan ? std::string(asan) + ":" : std::string();
  options += "verify_asan_link_order=0:exitcode=86";
  if (underTracer)
    options += ":detect_leaks=0"; // the leak checker cannot run while traced
  return {"ASAN_OPTIONS=" + options, "UBSAN_OPTIONS=print_stacktrace=1:exitcode=86"};
}

inline std::string ReadWholeFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Runs `argv` in folder `cwd` with `environment` added to this process's
// own, kills it after `timeout`. Its standard output and error pass through
// files named by `capture` plus ".out" and ".err".
inline ProgramRun RunProgram(const std::vector<std::string> &argv, const std::string &cwd,
                             const std::vector<std::string> &environment,
                             std::chrono::milliseconds timeout, const std::string &capture) {
  ProgramRun run;
  const std::string outPath = capture + ".out";
  const std::string errPath = capture + ".err";
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child < 0)
    return run;
  if (child == 0) {
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(err, STDERR_FILENO) < 0 ||
        ::chdir(cwd.c_str()) != 0)
      ::_exit(127);
    ::umask(022); // the same creation mask whoever runs the tests
    for (const std::string &setting : environment)
      ::putenv(const_cast<char *>(setting.c_str()));
    std::vector<char *> args;
    for (const std::string &arg : argv)
      args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  run.started = true;
  int status = 0;
  struct rusage usage {};
  auto pause = std::chrono::microseconds(50);
  for (;;) {
    const pid_t done = ::wait4(child, &status, WNOHANG, &usage);
    if (done == child)
      break;
    if (done < 0 && errno != EINTR)
      break;
    if (!run.timedOut && std::chrono::steady_clock::now() - start > timeout) {
      run.timedOut = true;
      ::kill(child, SIGKILL);
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(2000));
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.peakResidentKiB = usage.ru_maxrss;
  if (WIFEXITED(status))
    run.exitCode = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    run.signal = WTERMSIG(status);
  run.output = ReadWholeFile(outPath);
  run.errors = ReadWholeFile(errPath);
  ::unlink(outPath.c_str());
  ::unlink(errPath.c_str());
  if (run.exitCode == 127 && run.output.empty() && run.errors.empty())
    run.started = false;
  return run;
}

} // namespace tailsnip::hardening

#endif
