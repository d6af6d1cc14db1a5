// The resolution commands: Increase Resolution and Decrease Resolution raise or lower both resolution
// axes of the terrain objects the user selected, directly or through a selected operator, by 250 (100
// with SHIFT held) in one undo step. Neither goes below 100 or above the resolution cap (preference
// 1000); a terrain object whose step would cross a limit is left as it is. The commands are enabled
// while at least one target could take the fine step.
#pragma once

#include "host/core/basearray.h"
#include "host/core/result.h"
#include "host/scene/document.h"
#include "host/scene/plugins.h"

class BaseContainer;
class BaseObject;

inline constexpr Int32 ID_OGX_INCREASERESOLUTION_COMMAND = 1056090;
inline constexpr Int32 ID_OGX_DECREASERESOLUTION_COMMAND = 1056091;

class ChangeTerrainResolutionCommand : public CommandData
{
public:
  Bool Execute(BaseDocument* doc) override;
  Int32 GetState(BaseDocument* doc) override;

  // Changes the object's resolutions (in data, its parameter container) by one step in the command's
  // direction, recording the change for undo and telling the object; nothing when the step would cross
  // a limit. Error for a null object ("op must not be NULL!").
  virtual Result<void> ChangeObjectResolution(BaseObject* object, BaseDocument* document, BaseContainer* data,
                                              Bool fineStep) = 0;
  // Whether the fine step (100) is possible in the command's direction; false for a null object.
  virtual Bool CanChangeResolution(BaseObject* object) = 0;

  // Appends to out, in the order of the active objects and without repeats: each selected terrain object
  // that can change, and for each selected operator the nearest terrain object above it that is not
  // listed yet (listed ones are passed over), when that one can change. Other objects add nothing. Out of
  // memory while the list grows is returned.
  Result<void> CollectTargetTerrainObjects(const AtomArray* activeObjects, BaseArray<BaseObject*>& out);

protected:
  // Moves both resolutions by step (negative: down) when the object can change and neither the lower
  // limit nor the cap would be crossed.
  Result<void> StepResolution(BaseObject* object, BaseDocument* document, BaseContainer* data, Int step);
};

class IncreaseResCommand : public ChangeTerrainResolutionCommand
{
public:
  Result<void> ChangeObjectResolution(BaseObject* object, BaseDocument* document, BaseContainer* data,
                                      Bool fineStep) override;
  // max(x, y) + 100 <= the cap.
  Bool CanChangeResolution(BaseObject* object) override;
};

class DecreaseResCommand : public ChangeTerrainResolutionCommand
{
public:
  Result<void> ChangeObjectResolution(BaseObject* object, BaseDocument* document, BaseContainer* data,
                                      Bool fineStep) override;
  // min(x, y) - 100 >= 100.
  Bool CanChangeResolution(BaseObject* object) override;
};

// The resolution cap the commands work to: preference 1000, 4000 when the preferences do not hold it,
// 0 when the preferences cannot be had at all (nothing can be raised then).
Int32 GetResolutionCommandCap();

// Registers both icons (main sheet cells (448, 64) and (512, 64)), then Increase Resolution at
// sortOrder and, when that succeeded, Decrease Resolution at sortOrder + 1.
Bool RegisterChangeResolutionCommands(Int32 sortOrder);
