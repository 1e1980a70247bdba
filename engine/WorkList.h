// The list a run works through: every path beneath a folder, in walk order.
#ifndef TAILSNIP_ENGINE_WORKLIST_H
#define TAILSNIP_ENGINE_WORKLIST_H

#include "engine/FolderPath.h"

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <string_view>
#include <vector>

namespace tailsnip {

// Paths, only appended to and read by index. A tree's paths share most of
// their bytes with the path before them, the folders they lie in, so each
// is kept as the bytes it adds to that one: a million files in a tree of
// short names take megabytes, not a hundred. Long names of their own still
// take their length. Reading a
// path decodes at most kGroup - 1 paths before it. Reads may run on several
// threads at once, but not alongside an append.
class WorkList {
public:
  class const_iterator;
  using iterator = const_iterator;
  using value_type = FolderPath;

  WorkList() = default;
  WorkList(std::initializer_list<FolderPath> paths);

  void push_back(std::string_view path);
  FolderPath operator[](std::size_t index) const;
  const FolderPath &back() const { return last_; }
  // The index of the first path equal to `path`, or size() where none is.
  std::size_t find(std::string_view path) const;
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear();

  const_iterator begin() const;
  const_iterator end() const;

  bool operator==(const WorkList &other) const;
  bool operator!=(const WorkList &other) const { return !(*this == other); }

private:
  static constexpr std::size_t kGroup = 8; // paths a stored whole path starts

  const char *start(std::size_t group) const {
    return blocks_[groupStarts_[group].block].data() + groupStarts_[group].offset;
  }

  // Where a path's bytes start: in which block, and where in it.
  struct Place {
    std::size_t block;
    std::size_t offset;
  };
  // Per path: shared length, added length, added bytes, in blocks that
  // keep their size, so that a long list grows without a second copy, up
  // to 64 KiB each.
  std::vector<std::vector<char>> blocks_;
  std::size_t used_ = 0;           // bytes taken in the last block
  std::vector<Place> groupStarts_; // where each kGroup-th path starts
  FolderPath last_;                // the path appended last, to share with
  std::size_t size_ = 0;
};

// Reads a list's paths in order, each decoded once from the one before.
class WorkList::const_iterator {
public:
  using iterator_category = std::input_iterator_tag;
  using value_type = FolderPath;
  using difference_type = std::ptrdiff_t;
  using pointer = const FolderPath *;
  using reference = const FolderPath &;

  const_iterator(const WorkList &list, std::size_t index);
  const FolderPath &operator*() const { return path_; }
  const FolderPath *operator->() const { return &path_; }
  const_iterator &operator++();
  bool operator==(const const_iterator &other) const { return index_ == other.index_; }
  bool operator!=(const const_iterator &other) const { return index_ != other.index_; }

private:
  const WorkList *list_;
  std::size_t index_;
  const char *next_ = nullptr; // where the path after `path_` starts
  FolderPath path_;            // the path at `index_`, decoded
};

} // namespace tailsnip

#endif
