// What a run knew of each entry when it listed it, kept for as long as the
// run goes on: every file is checked against its stamp before it is changed.
#ifndef TAILSNIP_ENGINE_STAMPLIST_H
#define TAILSNIP_ENGINE_STAMPLIST_H

#include "engine/fs/FileSystem.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <iterator>
#include <vector>

namespace tailsnip {

// An entry as a run listed it.
struct EntryStamp {
  bool known = false; // false when the entry could not be described
  fs::FileKind kind = fs::FileKind::Other;
  std::uint64_t volume = 0; // device, or volume serial number
  std::uint64_t index = 0;  // inode, or file index
  std::uint64_t size = 0;
  std::uint64_t modified = 0; // in the platform's own units
  bool operator==(const EntryStamp &other) const {
    return known == other.known && kind == other.kind && volume == other.volume &&
           index == other.index && size == other.size && modified == other.modified;
  }
  bool operator!=(const EntryStamp &other) const { return !(*this == other); }
};

// Stamps, only appended to and read by index. Entries listed together lie
// on one volume, with near numbers, sizes and times, so each stamp is kept
// as its differences from the one before: about ten bytes, where an
// EntryStamp takes forty. Every field is kept exactly. Reading a stamp
// decodes at most kGroup - 1 stamps before it. Reads may run on several
// threads at once, but not alongside an append.
class StampList {
public:
  class const_iterator;

  // Throws std::bad_alloc, the list unchanged, where memory runs out.
  void push_back(const EntryStamp &stamp);
  EntryStamp operator[](std::size_t index) const;
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() { *this = StampList(); }

  const_iterator begin() const;
  const_iterator end() const;

private:
  static constexpr std::size_t kGroup = 16; // stamps a stamp kept against none starts

  std::deque<std::uint8_t> bytes_;
  std::vector<std::size_t> groupStarts_; // where each kGroup-th stamp starts
  EntryStamp last_;                      // the stamp appended last, to differ from
  std::size_t size_ = 0;
};

// Reads a list's stamps in order, each decoded once from the one before.
class StampList::const_iterator {
public:
  using iterator_category = std::input_iterator_tag;
  using value_type = EntryStamp;
  using difference_type = std::ptrdiff_t;
  using pointer = const EntryStamp *;
  using reference = const EntryStamp &;

  const_iterator(const StampList &list, std::size_t index);
  const EntryStamp &operator*() const { return stamp_; }
  const EntryStamp *operator->() const { return &stamp_; }
  const_iterator &operator++();
  bool operator==(const const_iterator &other) const { return index_ == other.index_; }
  bool operator!=(const const_iterator &other) const { return index_ != other.index_; }

private:
  void takeNext();

  const StampList *list_;
  std::size_t index_;
  std::deque<std::uint8_t>::const_iterator next_; // where the stamp after `stamp_` starts
  EntryStamp stamp_;                              // the stamp at `index_`, decoded
};

} // namespace tailsnip

#endif
