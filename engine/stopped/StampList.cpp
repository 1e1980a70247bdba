#include "engine/stopped/StampList.h"

namespace tailsnip {

namespace {

constexpr std::uint8_t kKnown = 0x80;
constexpr std::uint8_t kKindBits = 0x7f;
// A kind byte and four numbers of at most ten bytes each.
constexpr std::size_t kMostBytes = 1 + 4 * 10;

// How `now` differs from `before`, as an unsigned number that is small
// where the difference is, either way (zigzag).
std::uint64_t Difference(std::uint64_t now, std::uint64_t before) {
  const std::uint64_t delta = now - before;
  return (delta << 1) ^ (0 - (delta >> 63));
}

std::uint64_t Undo(std::uint64_t difference, std::uint64_t before) {
  return before + ((difference >> 1) ^ (0 - (difference & 1)));
}

std::uint8_t *Put(std::uint8_t *at, std::uint64_t number) {
  for (; number >= 0x80; number >>= 7)
    *at++ = static_cast<std::uint8_t>((number & 0x7fU) | 0x80U);
  *at++ = static_cast<std::uint8_t>(number);
  return at;
}

std::uint64_t Take(std::deque<std::uint8_t>::const_iterator &at) {
  std::uint64_t number = 0;
  for (unsigned shift = 0;; shift += 7) {
    const std::uint8_t byte = *at++;
    number |= static_cast<std::uint64_t>(byte & 0x7fU) << shift;
    if (byte < 0x80)
      return number;
  }
}

} // namespace

void StampList::push_back(const EntryStamp &stamp) {
  const bool startsGroup = size_ % kGroup == 0;
  const EntryStamp before = startsGroup ? EntryStamp() : last_;
  std::uint8_t encoded[kMostBytes];
  std::uint8_t *end = encoded;
  *end++ = static_cast<std::uint8_t>((stamp.known ? kKnown : 0U) |
                                     (static_cast<unsigned>(stamp.kind) & kKindBits));
  end = Put(end, Difference(stamp.volume, before.volume));
  end = Put(end, Difference(stamp.index, before.index));
  end = Put(end, Difference(stamp.size, before.size));
  end = Put(end, Difference(stamp.modified, before.modified));
  if (startsGroup)
    groupStarts_.push_back(bytes_.size());
  try {
    bytes_.insert(bytes_.end(), encoded, end);
  } catch (...) {
    if (startsGroup)
      groupStarts_.pop_back();
    throw;
  }
  last_ = stamp;
  ++size_;
}

EntryStamp StampList::operator[](std::size_t index) const { return *const_iterator(*this, index); }

StampList::const_iterator StampList::begin() const { return {*this, 0}; }
StampList::const_iterator StampList::end() const { return {*this, size_}; }

StampList::const_iterator::const_iterator(const StampList &list, std::size_t index)
    : list_(&list), index_(index) {
  if (index >= list.size_)
    return;
  next_ = list.bytes_.begin() + static_cast<std::ptrdiff_t>(list.groupStarts_[index / kGroup]);
  for (std::size_t i = index - index % kGroup; i <= index; ++i)
    takeNext();
}

StampList::const_iterator &StampList::const_iterator::operator++() {
  if (++index_ < list_->size_) {
    if (index_ % kGroup == 0) {
      stamp_ = EntryStamp();
      next_ =
          list_->bytes_.begin() + static_cast<std::ptrdiff_t>(list_->groupStarts_[index_ / kGroup]);
    }
    takeNext();
  }
  return *this;
}

void StampList::const_iterator::takeNext() {
  const std::uint8_t kind = *next_++;
  stamp_.known = (kind & kKnown) != 0;
  stamp_.kind = static_cast<fs::FileKind>(kind & kKindBits);
  stamp_.volume = Undo(Take(next_), stamp_.volume);
  stamp_.index = Undo(Take(next_), stamp_.index);
  stamp_.size = Undo(Take(next_), stamp_.size);
  stamp_.modified = Undo(Take(next_), stamp_.modified);
}

} // namespace tailsnip
