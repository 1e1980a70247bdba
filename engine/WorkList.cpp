#include "engine/WorkList.h"

#include <algorithm>

namespace tailsnip {

namespace {

void PutLength(std::vector<char> &bytes, std::size_t length) {
  while (length >= 0x80) {
    bytes.push_back(static_cast<char>((length & 0x7fU) | 0x80U));
    length >>= 7;
  }
  bytes.push_back(static_cast<char>(length));
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
  const std::size_t before = bytes_.size();
  try {
    if (startsGroup)
      groupStarts_.push_back(before);
    PutLength(bytes_, shared);
    PutLength(bytes_, path.size() - shared);
    bytes_.insert(bytes_.end(), path.begin() + static_cast<std::ptrdiff_t>(shared), path.end());
    last_.assign(path);
  } catch (...) {
    // Out of memory: the list stays as it was.
    bytes_.resize(before);
    groupStarts_.resize((size_ + kGroup - 1) / kGroup);
    throw;
  }
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
  next_ = list.bytes_.data() + list.groupStarts_[index / kGroup];
  for (std::size_t i = index - index % kGroup; i <= index; ++i)
    next_ = TakeNext(next_, path_);
}

WorkList::const_iterator &WorkList::const_iterator::operator++() {
  if (++index_ < list_->size_)
    next_ = TakeNext(next_, path_);
  return *this;
}

WorkList::const_iterator WorkList::begin() const { return {*this, 0}; }
WorkList::const_iterator WorkList::end() const { return {*this, size_}; }

bool WorkList::operator==(const WorkList &other) const {
  // Equal paths in the same order are stored as the same bytes.
  return size_ == other.size_ && bytes_ == other.bytes_;
}

} // namespace tailsnip
