#include "meridex/Environment.h"

#include "platform/Env.h"

namespace Meridex {

platform::Env* InstallEnvironment(platform::Env* env) { return platform::Env::Install(env); }

}  // namespace Meridex
