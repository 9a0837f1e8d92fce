// For tests: the operating-system services Meridex uses (its clock, its
// temporary folder, how it makes saved files durable) replaced, as
// platform::Env describes (src/platform/Env.h).
#pragma once

#include "meridex/Export.h"

namespace platform {
class Env;
}

namespace Meridex {

// Makes `env` the environment of Meridex, process-wide; null restores the
// real one. Returns the one in force before. `env` must outlive its use.
MERIDEX_EXPORT platform::Env* InstallEnvironment(platform::Env* env);

}  // namespace Meridex
