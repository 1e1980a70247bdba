// Shortening a listed tree's entries in list order: one at a time through
// "temp.txt", or with copies in flight, written ahead on one thread while
// another flushes them together and renames each over its entry.
//
// Either way every copy is on stable storage before it takes its entry's
// place, every entry cut in place is on it before the next batch is
// committed, the renames and cuts follow the list's order, each entry is
// told of once and in order, and an entry that cannot be shortened is kept
// as it was with no copy left behind.
#ifndef TAILSNIP_ENGINE_RUN_PIPELINE_H
#define TAILSNIP_ENGINE_RUN_PIPELINE_H

#include "engine/WorkList.h"
#include "engine/run/RunTrim.h"
#include "engine/walk/CollectEntries.h"

namespace tailsnip {

// Works through `list`, the entries beneath `folder`, from its start until
// its end or a stop, each reached through the folders `identities` lists;
// adds what became of each to `report`. Throws std::bad_alloc when memory
// runs out; the entries handled until then are in the report.
void ShortenListed(const FolderPath &folder, const WorkList &list,
                   const FolderIdentities &identities, const RunOptions &options,
                   RunReport &report);

} // namespace tailsnip

#endif
