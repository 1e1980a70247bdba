// A lower limit on open files for the length of a test, as a user's shell
// may set one; programs the test starts inherit it.
#ifndef TAILSNIP_TESTS_OPENFILELIMIT_H
#define TAILSNIP_TESTS_OPENFILELIMIT_H

#include <sys/resource.h>

namespace tailsnip::testing {

class OpenFileLimit {
public:
  // Allows at most `most` open files, or fewer where that is the limit
  // already; the old limit comes back when this goes, whatever the test did.
  explicit OpenFileLimit(rlim_t most) {
    lowered_ = ::getrlimit(RLIMIT_NOFILE, &saved_) == 0;
    struct rlimit few = saved_;
    if (few.rlim_cur == RLIM_INFINITY || few.rlim_cur > most)
      few.rlim_cur = most;
    lowered_ = lowered_ && ::setrlimit(RLIMIT_NOFILE, &few) == 0;
  }
  ~OpenFileLimit() {
    if (lowered_)
      ::setrlimit(RLIMIT_NOFILE, &saved_);
  }
  OpenFileLimit(const OpenFileLimit &) = delete;
  OpenFileLimit &operator=(const OpenFileLimit &) = delete;

  bool lowered() const { return lowered_; }

private:
  struct rlimit saved_ {};
  bool lowered_ = false;
};

} // namespace tailsnip::testing

#endif
