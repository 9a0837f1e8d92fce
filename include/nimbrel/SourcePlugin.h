// What a source plug-in module includes: both interface contracts, the entry
// point and the version stamp.
//
// A plug-in is a shared object named after its source ("Example.so") in the
// folder of its kind below the library's working directory. It exports one
// function, GetDllInterface, and carries its file version:
//
//   #include "nimbrel/SourcePlugin.h"
//   NIMBREL_MODULE_VERSION(1, 2, 0, 7)
//   NIMBREL_PLUGIN_ENTRY {
//     static ExamplePlugin plugin;  // derives from CBasicTagsDllInterface
//     return static_cast<CBasicTagsDllInterface*>(&plugin);
//   }
//
// GetDllInterface may be called many times and from several threads; it
// returns the same object each time (or null when the plug-in cannot work).
// Library and plug-in share CString, standard strings and lists across the
// module boundary, so both are built with the same compiler and standard
// library.
#pragma once

#include "nimbrel/BasicTagsDllInterface.h"
#include "nimbrel/LyricsDllInterface.h"
#include "nimbrel/ModuleVersion.h"

// The entry point's type: the interface object as CBasicTagsDllInterface* or
// CLyricsDllInterface*, by the plug-in's kind, or null.
using GetDllInterfaceFunction = void* (*)();

// Opens the definition of the exported entry point.
#define NIMBREL_PLUGIN_ENTRY extern "C" __attribute__((visibility("default"))) void* GetDllInterface()
