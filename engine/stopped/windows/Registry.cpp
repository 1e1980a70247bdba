// Windows keeps no registry (Registry.h): a folder every user may add to
// but nobody may remove others' entries from needs an access list of its
// own, made by an installer, which the program does not have.
#include "engine/stopped/Registry.h"

namespace tailsnip {

FolderPath RegistryFolder() { return {}; }

RegistryUse ReadRegistry(RegisteredRuns &) { return {RegistryState::Unavailable, {}}; }

RegistryUse Register(const fs::FileIdentity &, const FolderPath &, Durability) {
  return {RegistryState::Unavailable, {}};
}

void Unregister(const fs::FileIdentity &, const FolderPath &) {}

bool MayForgetOthersRuns() { return false; }

} // namespace tailsnip
