// A path longer than the platform accepts is reported, not crashed on, and
// everything the run can reach is still shortened.
#include "ProgramRun.h"
#include "ReferenceModel.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace tailsnip {
namespace {

namespace stdfs = std::filesystem;
using hardening::ProgramRun;
using hardening::ReadWholeFile;
using testing::Scratch;

constexpr int kLevels = 25;
const std::string kName(200, 'n'); // 25 levels of 201 bytes pass PATH_MAX

// Folders nested below `top` with *at calls, which never need the whole
// path, so the chain may grow past what a path can name.
class FolderChain {
public:
  explicit FolderChain(const stdfs::path &top) {
    folders_.push_back(::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (int level = 0; level < kLevels && folders_.back() >= 0; ++level) {
      if (::mkdirat(folders_.back(), kName.c_str(), 0755) != 0)
        break;
      folders_.push_back(::openat(folders_.back(), kName.c_str(), O_RDONLY | O_DIRECTORY));
    }
  }
  ~FolderChain() {
    for (std::size_t level = folders_.size() - 1; level > 0; --level) {
      for (const char *file : {"deep", "middle"})
        ::unlinkat(folders_[level], file, 0);
      ::close(folders_[level]);
      ::unlinkat(folders_[level - 1], kName.c_str(), AT_REMOVEDIR);
    }
    ::close(folders_[0]);
  }
  FolderChain(const FolderChain &) = delete;
  FolderChain &operator=(const FolderChain &) = delete;

  bool complete() const { return folders_.size() == kLevels + 1 && folders_.back() >= 0; }

  void write(int level, const char *name, const std::string &bytes) {
    const int fd = ::openat(folders_[static_cast<std::size_t>(level)], name,
                            O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::write(fd, bytes.data(), bytes.size()));
    ::close(fd);
  }
  std::string read(int level, const char *name) const {
    std::string bytes;
    const int fd = ::openat(folders_[static_cast<std::size_t>(level)], name, O_RDONLY);
    char buffer[256];
    for (ssize_t got; fd >= 0 && (got = ::read(fd, buffer, sizeof buffer)) > 0;)
      bytes.append(buffer, static_cast<std::size_t>(got));
    if (fd >= 0)
      ::close(fd);
    return bytes;
  }

private:
  std::vector<int> folders_;
};

TEST(LongPathTest, PathLongerThanThePlatformAcceptsIsNamedInTheNotice) {
  Scratch scratch;
  const std::string top = "first\nsecond\n";
  scratch.file("top", top);
  FolderChain chain(scratch.tree());
  ASSERT_TRUE(chain.complete());
  const std::string middle = "middle\r\nof the chain";
  const std::string deep = "beyond\nwhat a path can name\n";
  chain.write(5, "middle", middle);
  chain.write(kLevels, "deep", deep);

  const ProgramRun run =
      hardening::RunProgram({TAILSNIP_CLI_PATH, "--quiet", scratch.tree().string()},
                            scratch.cwd().string(), hardening::SanitizerEnvironment(),
                            std::chrono::seconds(60), (scratch.root() / "capture").string());
  ASSERT_TRUE(run.exited()) << "tailsnip-cli " << run.describe();
  EXPECT_EQ(1, run.exitCode) << run.output;

  std::string tooLong = scratch.tree().string();
  for (int level = 0; level < kLevels && tooLong.size() < PATH_MAX; ++level)
    tooLong += "/" + kName;
  EXPECT_NE(std::string::npos, run.output.find("\n" + tooLong + ": path too long"))
      << "the first path longer than PATH_MAX is not named: " << run.output;
  EXPECT_EQ(reference::Shortened(top), ReadWholeFile((scratch.tree() / "top").string()));
  EXPECT_EQ(reference::Shortened(middle), chain.read(5, "middle"));
  EXPECT_EQ(deep, chain.read(kLevels, "deep"));
  EXPECT_TRUE(stdfs::is_empty(scratch.cwd())) << "a copy was left in the current directory";
}

} // namespace
} // namespace tailsnip
