// Small tmpfs volumes for tests that need a second volume, a full disk or a
// read-only folder; only root may mount them, elsewhere such tests skip.
#ifndef TAILSNIP_TESTS_POSIXVOLUME_H
#define TAILSNIP_TESTS_POSIXVOLUME_H

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/mount.h>
#include <unistd.h>

namespace tailsnip::testing {

class TmpfsVolume {
public:
  // Mounts a tmpfs of `bytes` at `where`, which must be an existing folder.
  TmpfsVolume(const std::filesystem::path &where, std::size_t bytes) : where_(where) {
    const std::string options = "size=" + std::to_string(bytes);
    if (::geteuid() != 0)
      problem_ = "mounting a test volume needs root";
    else if (::mount("tailsnip-test", where_.c_str(), "tmpfs", 0, options.c_str()) != 0)
      problem_ = std::string("mount failed: ") + std::strerror(errno);
  }
  ~TmpfsVolume() {
    if (problem_.empty())
      ::umount2(where_.c_str(), MNT_DETACH);
  }
  TmpfsVolume(const TmpfsVolume &) = delete;
  TmpfsVolume &operator=(const TmpfsVolume &) = delete;

  bool mounted() const { return problem_.empty(); }
  const std::string &problem() const { return problem_; }

  bool makeReadOnly() {
    return ::mount(nullptr, where_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }

private:
  std::filesystem::path where_;
  std::string problem_;
};

#define TAILSNIP_REQUIRE_MOUNTED(volume)                                                           \
  if (!(volume).mounted())                                                                         \
  GTEST_SKIP() << (volume).problem()

} // namespace tailsnip::testing

#endif
