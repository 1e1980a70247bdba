// Scratch folders and whole-file helpers for the engine's tests.
#ifndef TAILSNIP_TESTS_TESTSUPPORT_H
#define TAILSNIP_TESTS_TESTSUPPORT_H

#include "engine/FolderPath.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>

namespace tailsnip::testing {

namespace stdfs = std::filesystem;

inline std::string ReadBytes(const stdfs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const stdfs::path &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The engine's own spelling of a path, separators included.
inline FolderPath Native(const stdfs::path &path) {
  std::string text = path.string();
  for (char &c : text)
    if (c == '/' || c == '\\')
      c = kPathSeparator;
  return text;
}

// A fresh folder holding `tree/`, the folder a test trims, and `cwd/`, the
// current directory while the test runs (where "temp.txt" is written).
class Scratch {
public:
  Scratch() {
    std::random_device seed;
    root_ = stdfs::temp_directory_path() /
            ("tailsnip-test-" + std::to_string(seed()) + std::to_string(seed()));
    stdfs::create_directories(root_ / "tree");
    stdfs::create_directories(root_ / "cwd");
    previous_ = stdfs::current_path();
    stdfs::current_path(root_ / "cwd");
  }
  ~Scratch() {
    std::error_code ignored;
    stdfs::current_path(previous_, ignored);
    const stdfs::path root = Unlimited(root_);
    // Read-only entries could not be removed otherwise.
    for (stdfs::recursive_directory_iterator it(root, ignored), end; it != end;
         it.increment(ignored))
      stdfs::permissions(it->path(), stdfs::perms::owner_all,
                         stdfs::perm_options::add | stdfs::perm_options::nofollow, ignored);
    stdfs::remove_all(root, ignored);
  }

  // `path` in a form that is not held to the platform's usual length limit.
  static stdfs::path Unlimited(const stdfs::path &path) {
#ifdef _WIN32
    return stdfs::path(L"\\\\?\\" + stdfs::absolute(path).make_preferred().wstring());
#else
    return path;
#endif
  }
  Scratch(const Scratch &) = delete;
  Scratch &operator=(const Scratch &) = delete;

  const stdfs::path &root() const { return root_; }
  stdfs::path tree() const { return root_ / "tree"; }
  stdfs::path cwd() const { return root_ / "cwd"; }

  // Writes `bytes` to tree/`relative`, creating folders on the way.
  stdfs::path file(const std::string &relative, const std::string &bytes) {
    const stdfs::path path = tree() / relative;
    stdfs::create_directories(path.parent_path());
    WriteBytes(path, bytes);
    return path;
  }

private:
  stdfs::path root_;
  stdfs::path previous_;
};

} // namespace tailsnip::testing

#endif
