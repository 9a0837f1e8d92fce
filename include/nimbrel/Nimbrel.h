// The functions libnimbrel exports: setting the library up, refreshing its
// source plug-ins and creating tagging objects. They may be called from any
// host thread; the two set-up functions not concurrently with each other or
// while a tagging object searches.
#pragma once

#include "nimbrel/Export.h"
#include "nimbrel/INimbrel.h"
#include "nimbrel/NimbrelSettings.h"

// Both functions first wait for a background update that an earlier
// InitialiseNimbrel started, so that settings and plug-ins never change under it.

// Takes the settings (log folder, trace level, working directory, ...), then
// updates the source plug-ins from the settings' update address on a thread of
// its own and loads them when the update is over, whether it succeeded or
// not. Returns at once; searches wait until the plug-ins are loaded again.
NIMBREL_EXPORT void InitialiseNimbrel(const NimbrelSettings& settings);

// Takes the settings as InitialiseNimbrel does, then updates the plug-in
// files on the calling thread. True when the update ran and a new plug-in
// list was written. Afterwards no plug-in is loaded until the next
// InitialiseNimbrel.
NIMBREL_EXPORT bool NimbrelSourcesUpdateSync(const NimbrelSettings& settings);

// Creates a tagging object; null when memory is exhausted. Any number may
// exist at once; they share the settings and the plug-ins. Destroy it with
// delete: that stops its searches and waits for its workers.
NIMBREL_EXPORT INimbrel* NewNimbrelInstance();
