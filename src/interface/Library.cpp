// Lifetime of the library's process-wide objects.
//
// Loading libnimbrel constructs them: the master log first, then the sources
// manager, the cover cache, the configuration, the local tags cache and the
// tag-cache server's client with its pool. Unloading destroys them in reverse
// order: the server cache client drops its queued fills and waits for the
// running ones (which need the configuration and the log); the tags cache goes; the
// configuration waits for a running plug-in update to end; the cover cache
// trims its folder; the manager joins the update's thread and frees the
// plug-ins; last the master log merges the run's trace file into the parent log.
// Once a plug-in update has been started in the background, the library stays
// loaded until the process ends, and this happens at exit.
#include "config/NimbrelConfig.h"
#include "core/LocalTagsCache.h"
#include "covers/CoverCache.h"
#include "foundation/Masterlog.h"
#include "servercache/NimbrelServerCache.h"
#include "sources/DllSourcesManager.h"

namespace {

const bool constructedAtLoad = (CMasterlog::Instance(), CDllSourcesManager::Instance(), CCoverCache::Instance(),
                                CNimbrelConfig::Instance(), CLocalTagsCache::Instance(),
                                CNimbrelServerCache::Instance(), true);

}  // namespace
