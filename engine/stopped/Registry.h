// The registry of recorded runs: how a run sees the stopped runs of every
// user of the machine, and of every state folder, whose journals it cannot
// list. One marker per journal, named by the identity of its run's folder
// (and a random token, where another user took that name first),
// holding the journal's path and owned by the journal's user, in a folder
// every user may add to and nobody may remove others' markers from.
//
// On Linux the folder is /var/tmp/tailsnip (sticky and writable by all, as
// /var/tmp is; kept across restarts), made by the first run that records a
// journal. It is trusted only as a real folder, sticky, owned by root or by
// this user. Windows has no registry: each user's journals are all a run
// sees there.
#ifndef TAILSNIP_ENGINE_STOPPED_REGISTRY_H
#define TAILSNIP_ENGINE_STOPPED_REGISTRY_H

#include "engine/FolderPath.h"
#include "engine/fs/FileSystem.h"
#include "engine/stopped/Journal.h"

#include <cstdint>
#include <map>
#include <string>
#include <system_error>
#include <utility>

namespace tailsnip {

struct RegisteredRun {
  FolderPath journal;
  std::string owner; // the user's name (or number); empty when it is this user
};

// By the identity (volume, index) of the run's folder.
using RegisteredRuns = std::map<std::pair<std::uint64_t, std::uint64_t>, RegisteredRun>;

// Where the markers are; empty where the platform keeps none.
FolderPath RegistryFolder();

// How using the registry went. Unavailable is said but stops nothing: the
// platform keeps none, /var/tmp is missing or read-only, or the folder
// there is not one to trust (any user could make one, and must not stop
// others' runs by it). Failed, the system failing once the registry was
// open, is a failure of the run, as its journal's would be.
enum class RegistryState { Used, Unavailable, Failed };
struct RegistryUse {
  RegistryState state = RegistryState::Used;
  std::error_code systemError; // the system's, when not used
};

// Adds every marker whose journal may still exist to `runs`. A marker whose
// journal is gone (its run ended without removing it) is left out, and
// removed where this user may; so is one that names no journal of its
// owner's for its folder. A registry that does not exist holds none.
RegistryUse ReadRegistry(RegisteredRuns &runs);

// Registers, durably as `durability` asks, the journal at `journal` of a
// run over the folder with `identity`, making the registry where it is
// missing. Done already when this user's marker names that journal; Failed
// (file exists) when another's names a journal for that folder. What else
// holds the marker's name is removed, or, where this user may not, the
// marker takes a name of its own that nobody could have foreseen.
RegistryUse Register(const fs::FileIdentity &identity, const FolderPath &journal,
                     Durability durability);

// Removes the marker of `journal` for `identity`, if there is one of this
// user's (of any user's, for one who MayForgetOthersRuns); a marker left
// behind is ignored once its journal is gone.
void Unregister(const fs::FileIdentity &identity, const FolderPath &journal);

// Whether this user may forget other users' stopped runs, as only the
// superuser may: their markers can be removed, their journals read.
bool MayForgetOthersRuns();

} // namespace tailsnip

#endif
