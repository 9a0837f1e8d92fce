// The exported factory of tagging objects.
#include <new>

#include "core/NimbrelCore.h"
#include "foundation/Guarded.h"
#include "nimbrel/Nimbrel.h"

INimbrel* NewNimbrelInstance() {
  INimbrel* instance = nullptr;
  // Memory exhausted, or anything else thrown: null, nothing reaches the host.
  nimbrel::Guarded(L"NewNimbrelInstance", [&] { instance = new (std::nothrow) CNimbrelCore; });
  return instance;
}
