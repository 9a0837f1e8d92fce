// A plug-in stand-in that carries the file version 2.0.1.15.
#include "nimbrel/ModuleVersion.h"

NIMBREL_MODULE_VERSION(2, 0, 1, 15);

extern "C" __attribute__((visibility("default"))) int nimbrel_stamped_module_answer() { return 2; }
