// A set of paths, or of any byte strings, for telling whether one was met.
#ifndef TAILSNIP_ENGINE_PATHSET_H
#define TAILSNIP_ENGINE_PATHSET_H

#include "engine/WorkList.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tailsnip {

// Each path is kept once, in a WorkList, and found through a table of its
// hash and its place there. Paths met folder by folder share most of their
// bytes, so a million of them take about twenty megabytes, where a set of
// strings takes over a hundred. Membership is decided by comparing the
// bytes, never by the hash alone.
class PathSet {
public:
  // Adds `path`; false where it was in the set already. Throws
  // std::bad_alloc, the set unchanged, where memory runs out.
  bool insert(std::string_view path);
  bool contains(std::string_view path) const;
  std::size_t size() const { return paths_.size(); }

private:
  // The slot that holds `path`, or the empty one where it would go.
  std::size_t slotFor(std::string_view path, std::uint64_t hash) const;
  void grow();

  WorkList paths_;
  // Per slot: 0 where empty, else the high half of a path's hash and its
  // place in `paths_` plus one.
  std::vector<std::uint64_t> slots_;
};

} // namespace tailsnip

#endif
