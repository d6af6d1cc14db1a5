// Puts back everything process-wide that a test of the module can change in the stand-in host: one list,
// so that no fixture forgets a piece another test left behind.
#pragma once

#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/core/parallel.h"
#include "host/geometry/geometrytags.h"
#include "host/gui/dialogs.h"
#include "host/gui/icons.h"
#include "host/gui/keyboard.h"
#include "host/scene/description.h"
#include "host/scene/hierarchy.h"
#include "host/splines/splinehelp.h"
#include "orogenix/operatorregistry.h"

namespace ogx_test
{
inline void ResetHostState()
{
  host::FailNthAllocation(0);
  host::ResetSceneState();
  host::ResetDescriptions();
  host::ResetIcons();
  host::ResetLogs();
  host::ResetDialogs();
  host::ResetInputState();
  host::ResetWriteAccessRefusals();
  host::ResetSplineHelpSwitches();
  host::SetThreadCount(0);
  ReleaseRegistryEntries();
}
} // namespace ogx_test
