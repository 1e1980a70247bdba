#include "engine/WorkList.h"

#include <algorithm>

namespace tailsnip {

namespace {

// Blocks start small, as most lists are, and double up to the largest.
constexpr std::size_t kFirstBlockBytes = 256;
constexpr std::size_t kBlockBytes = 64 * 1024;

std::size_t LengthBytes(std::size_t length) {
  std::size_t bytes = 1;
  for (; length >= 0x80; length >>= 7)
    ++bytes;
  return bytes;
}

char *PutLength(char *at, std::size_t length) {
  while (length >= 0x80) {
    *at++ = static_cast<char>((length & 0x7fU) | 0x80U);
    length >>= 7;
  }
  *at++ = static_cast<char>(length);
  return at;
}

std::size_t TakeLength(const char *&at) {
  std::size_t length = 0;
  for (unsigned shift = 0;; shift += 7) {
    const auto byte = static_cast<unsigned char>(*at++);
    length |= static_cast<std::size_t>(byte & 0x7fU) << shift;
    if (byte < 0x80)
      return length;
  }
}

// Turns `path`, the path stored before the one at `at`, into that one;
// returns where the next one starts.
const char *TakeNext(const char *at, FolderPath &path) {
  const std::size_t shared = TakeLength(at);
  const std::size_t added = TakeLength(at);
  path.resize(shared);
  path.append(at, added);
  return at + added;
}

} // namespace

WorkList::WorkList(std::initializer_list<FolderPath> paths) {
  for (const FolderPath &path : paths)
    push_back(path);
}

void WorkList::push_back(std::string_view path) {
  const bool startsGroup = size_ % kGroup == 0;
  std::size_t shared = 0;
  if (!startsGroup) {
    const std::size_t most = std::min(path.size(), last_.size());
    while (shared < most && path[shared] == last_[shared])
      ++shared;
  }
  const std::size_t added = path.size() - shared;
  const std::size_t needed = LengthBytes(shared) + LengthBytes(added) + added;
  // Whatever may run out of memory comes first, and leaves the paths as they were.
  last_.reserve(path.size());
  if (blocks_.empty() || needed > blocks_.back().size() - used_) {
    // A group's paths lie together, each read from the one before: where
    // one does not fit, its group moves to a new block.
    const std::size_t moved = startsGroup ? 0 : used_ - groupStarts_.back().offset;
    const std::size_t next =
        blocks_.empty() ? kFirstBlockBytes : std::min(kBlockBytes, 2 * blocks_.back().size());
    blocks_.emplace_back(std::max(next, moved + needed));
    if (!startsGroup) {
      const std::vector<char> &from = blocks_[groupStarts_.back().block];
      std::copy_n(from.data() + groupStarts_.back().offset, moved, blocks_.back().data());
      groupStarts_.back() = {blocks_.size() - 1, 0};
    }
    used_ = moved;
  }
  if (startsGroup)
    groupStarts_.push_back({blocks_.size() - 1, used_});
  char *at = blocks_.back().data() + used_;
  at = PutLength(PutLength(at, shared), added);
  std::copy_n(path.data() + shared, added, at);
  used_ += needed;
  last_.assign(path);
  ++size_;
}

FolderPath WorkList::operator[](std::size_t index) const { return *const_iterator(*this, index); }

std::size_t WorkList::find(std::string_view path) const {
  std::size_t index = 0;
  for (const FolderPath &next : *this) {
    if (next == path)
      return index;
    ++index;
  }
  return size_;
}

void WorkList::clear() { *this = WorkList(); }

WorkList::const_iterator::const_iterator(const WorkList &list, std::size_t index)
    : list_(&list), index_(index) {
  if (index >= list.size_)
    return;
  next_ = list.start(index / kGroup);
  for (std::size_t i = index - index % kGroup; i <= index; ++i)
    next_ = TakeNext(next_, path_);
}

WorkList::const_iterator &WorkList::const_iterator::operator++() {
  if (++index_ < list_->size_)
    next_ = TakeNext(index_ % kGroup == 0 ? list_->start(index_ / kGroup) : next_, path_);
  return *this;
}

WorkList::const_iterator WorkList::begin() const { return {*this, 0}; }
WorkList::const_iterator WorkList::end() const { return {*this, size_}; }

bool WorkList::operator==(const WorkList &other) const {
  return size_ == other.size_ && std::equal(begin(), end(), other.begin());
}

} // namespace tailsnip
