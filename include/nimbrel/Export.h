// Marks the functions that libnimbrel exports; everything else is hidden.
#pragma once

#if defined(_WIN32)
#if defined(NIMBREL_BUILDING)
#define NIMBREL_EXPORT __declspec(dllexport)
#else
#define NIMBREL_EXPORT __declspec(dllimport)
#endif
#else
#define NIMBREL_EXPORT __attribute__((visibility("default")))
#endif
