// Marks the classes and functions that libmeridex exports; everything else is
// hidden (the build compiles with -fvisibility=hidden).
#pragma once

#if defined(_WIN32)
#if defined(MERIDEX_BUILDING)
#define MERIDEX_EXPORT __declspec(dllexport)
#else
#define MERIDEX_EXPORT __declspec(dllimport)
#endif
#else
#define MERIDEX_EXPORT __attribute__((visibility("default")))
#endif
