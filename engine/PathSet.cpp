#include "engine/PathSet.h"

#include <new>

namespace tailsnip {

namespace {

constexpr std::uint64_t kHashBits = 0xffffffff00000000U;
constexpr std::uint64_t kPlaceBits = 0x00000000ffffffffU;

// FNV-1a, then mixed so that the low bits, which pick the slot, depend on
// every byte. 64 bits on 32-bit builds too, where std::hash gives 32: the
// high half tells most paths apart before their bytes are compared.
std::uint64_t Hash(std::string_view path) {
  std::uint64_t hash = 0xcbf29ce484222325U;
  for (const char c : path) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3U;
  }
  hash ^= hash >> 33;
  hash *= 0xff51afd7ed558ccdU;
  hash ^= hash >> 33;
  return hash;
}

std::size_t FirstSlot(std::uint64_t hash, std::size_t slots) {
  return static_cast<std::size_t>(hash) & (slots - 1);
}

} // namespace

bool PathSet::insert(std::string_view path) {
  // Kept at most three quarters full, so that a search meets an empty slot soon.
  if ((paths_.size() + 1) * 4 > slots_.size() * 3)
    grow();
  const std::uint64_t hash = Hash(path);
  const std::size_t slot = slotFor(path, hash);
  if (slots_[slot] != 0)
    return false;
  if (paths_.size() >= kPlaceBits) // no place left to record
    throw std::bad_alloc();
  paths_.push_back(path);
  slots_[slot] = (hash & kHashBits) | paths_.size();
  return true;
}

bool PathSet::contains(std::string_view path) const {
  return !slots_.empty() && slots_[slotFor(path, Hash(path))] != 0;
}

std::size_t PathSet::slotFor(std::string_view path, std::uint64_t hash) const {
  for (std::size_t slot = FirstSlot(hash, slots_.size());;
       slot = (slot + 1) & (slots_.size() - 1)) {
    const std::uint64_t held = slots_[slot];
    if (held == 0 || ((held & kHashBits) == (hash & kHashBits) &&
                      paths_[static_cast<std::size_t>(held & kPlaceBits) - 1] == path))
      return slot;
  }
}

void PathSet::grow() {
  std::vector<std::uint64_t> larger(slots_.empty() ? 64 : slots_.size() * 2);
  std::uint64_t place = 0;
  for (const FolderPath &path : paths_) {
    const std::uint64_t hash = Hash(path);
    std::size_t slot = FirstSlot(hash, larger.size());
    while (larger[slot] != 0)
      slot = (slot + 1) & (larger.size() - 1);
    larger[slot] = (hash & kHashBits) | ++place;
  }
  slots_ = std::move(larger);
}

} // namespace tailsnip
