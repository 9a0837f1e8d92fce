// Must not compile: a version number above 65535.
#include "nimbrel/ModuleVersion.h"

NIMBREL_MODULE_VERSION(1, 65536, 0, 0);
