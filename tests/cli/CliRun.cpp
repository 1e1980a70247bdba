// Starting tailsnip-cli for a test: its standard streams on pipes or
// terminals, as another user, or in a root folder of the test's own.
#include "CliRun.h"

#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace tailsnip::testing {
namespace {

// The program's own path inside a root folder made by MakeRoot.
constexpr char kCliInRoot[] = "/tailsnip-cli";

// The system folders a root folder of a test's own holds for the program to run.
// /proc too: the sanitizers' leak check reads it as the program ends.
constexpr const char *kSystemFolders[] = {"/usr", "/lib", "/lib64", "/proc"};

// In the child: `root` becomes its root folder, with the program and the
// system's libraries bound into it, in a mount namespace (and, for a user
// other than root, a user namespace) of its own; nothing outside sees it.
bool EnterRoot(const std::string &root, bool withoutProc) {
  if (::unshare(CLONE_NEWNS | (::geteuid() == 0 ? 0 : CLONE_NEWUSER)) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return false;
  for (const char *folder : kSystemFolders)
    if (!(withoutProc && std::strcmp(folder, "/proc") == 0) &&
        ::access((root + folder).c_str(), F_OK) == 0 &&
        ::mount(folder, (root + folder).c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
      return false;
  return ::mount(TAILSNIP_CLI_PATH, (root + kCliInRoot).c_str(), nullptr, MS_BIND, nullptr) == 0 &&
         ::chroot(root.c_str()) == 0 && ::chdir("/") == 0;
}

// A pipe, or a terminal whose other end the test reads.
void OpenChannel(int ends[2], bool terminal, unsigned short columns, bool raw) {
  if (!terminal) {
    EXPECT_EQ(0, ::pipe(ends));
    return;
  }
  winsize size{};
  size.ws_col = columns;
  EXPECT_EQ(0, ::openpty(&ends[0], &ends[1], nullptr, nullptr, columns ? &size : nullptr));
  termios modes;
  if (raw && ::tcgetattr(ends[1], &modes) == 0) { // line feeds stay line feeds
    ::cfmakeraw(&modes);
    ::tcsetattr(ends[1], TCSANOW, &modes);
  }
}

} // namespace

void MakeRoot(const stdfs::path &root) {
  for (const char *folder : kSystemFolders)
    if (stdfs::is_directory(folder))
      stdfs::create_directories(root.string() + folder);
  WriteBytes(root.string() + kCliInRoot, "");
}

Ran RunCli(const std::vector<std::string> &args, const How &how) {
  int outPipe[2], errPipe[2];
  OpenChannel(outPipe, how.outOnTerminal, how.columns, true);
  OpenChannel(errPipe, how.errOnTerminal || how.bothOnOneTerminal, how.columns, false);
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(how.outFile             ? ::open(how.outFile, O_WRONLY)
           : how.bothOnOneTerminal ? errPipe[1]
                                   : outPipe[1],
           STDOUT_FILENO);
    ::dup2(errPipe[1], STDERR_FILENO);
    if (int gone[2]; how.errReaderGone && ::pipe(gone) == 0) {
      ::close(gone[0]);
      ::dup2(gone[1], STDERR_FILENO);
    }
    if (how.errClosed)
      ::close(STDERR_FILENO);
    if (how.inFile)
      ::dup2(::open(how.inFile, O_RDONLY), STDIN_FILENO);
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    if (how.cwd && ::chdir(how.cwd) != 0)
      ::_exit(127);
    if (how.columnsVariable)
      ::setenv("COLUMNS", how.columnsVariable, 1);
    ::setenv("LC_ALL", how.locale, 1);
    if (how.asNobody && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                         ::setresuid(65534, 65534, 65534) != 0))
      ::_exit(127);
    if (how.root && !EnterRoot(how.root, how.rootWithoutProc))
      ::_exit(125);
    std::vector<char *> argv{const_cast<char *>(how.root ? kCliInRoot : TAILSNIP_CLI_PATH)};
    for (const std::string &arg : args)
      argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  Ran ran;
  int stopSignal = how.stopSignal;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string *sinks[2] = {&ran.out, &ran.err};
  for (int open = 2; open > 0;) {
    if (::poll(fds, 2, 30000) <= 0)
      break; // the failsafe: a hung child fails the test instead of the suite
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents)
        continue;
      char chunk[4096];
      const ssize_t got = ::read(fds[i].fd, chunk, sizeof chunk);
      if (got > 0) {
        sinks[i]->append(chunk, static_cast<std::size_t>(got));
        if (stopSignal != 0 && Lines(ran.err) >= how.stopAfterLines) {
          if (const int signal = std::exchange(stopSignal, 0); signal != SIGPIPE) {
            ::kill(child, signal);
          } else {
            ::close(fds[1].fd);
            fds[1].fd = -1;
            --open;
          }
        }
      } else { // end of a pipe, or EIO once a terminal's last writer is gone
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  ::kill(child, SIGKILL); // no-op unless it hung
  int status = 0;
  ::waitpid(child, &status, 0);
  ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  ran.pid = child;
  return ran;
}

Ran RunCli(const std::vector<std::string> &args, bool errOnTerminal, const char *outFile,
           const char *cwd, int stopSignal, std::size_t stopAfterLines) {
  How how;
  how.errOnTerminal = errOnTerminal;
  how.outFile = outFile;
  how.cwd = cwd;
  how.stopSignal = stopSignal;
  how.stopAfterLines = stopAfterLines;
  return RunCli(args, how);
}

} // namespace tailsnip::testing
