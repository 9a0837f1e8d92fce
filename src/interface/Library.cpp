// Lifetime of the library's process-wide objects.
//
// Loading libnimbrel constructs them (the master log first, then the
// configuration, then the local tags cache); unloading destroys them in
// reverse order: the cache goes, the configuration waits for a running
// plug-in update, then the master log merges the run's trace file into the
// parent log.
#include "config/NimbrelConfig.h"
#include "core/LocalTagsCache.h"

namespace {

const bool constructedAtLoad = (CNimbrelConfig::Instance(), CLocalTagsCache::Instance(), true);

}  // namespace
