// The blend-mode commands: Next Blend Mode and Previous Blend Mode step the blend mode of every
// selected generator operator one place along a fixed ring of fourteen modes, in one undo step. DIVIDE
// is not on the ring (an operator set to it by hand leaves it for OVERLAY or MULTIPLY), and a stored
// value that is no blend mode becomes NORMAL. Filters are never changed; the commands are enabled while
// a generator operator is selected.
#pragma once

#include "host/core/basearray.h"
#include "host/core/result.h"
#include "host/scene/document.h"
#include "host/scene/plugins.h"
#include "orogenix/enums.h"

class BaseContainer;
class BaseObject;

inline constexpr Int32 ID_OGX_NEXTBLENDMODE_COMMAND = 1056684;
inline constexpr Int32 ID_OGX_PREVIOUSBLENDMODE_COMMAND = 1056685;

class BaseCycleBlendmodeCommand : public CommandData
{
public:
  Bool Execute(BaseDocument* doc) override;
  Int32 GetState(BaseDocument* doc) override;

  // The mode that follows current in the command's direction.
  virtual BLENDMODE CycleBlendMode(BLENDMODE current) = 0;
  // Writes the next mode into 1002 of data (the operator's container; also when it equals the old one),
  // after recording the change for undo, and tells the operator. Error for a null operator ("op must
  // not be NULL!").
  Result<void> ApplyBlendMode(BaseObject* op, BaseDocument* document, BaseContainer* data);
};

class NextBlendmodeCommand : public BaseCycleBlendmodeCommand
{
public:
  BLENDMODE CycleBlendMode(BLENDMODE current) override;
};

class PreviousBlendmodeCommand : public BaseCycleBlendmodeCommand
{
public:
  BLENDMODE CycleBlendMode(BLENDMODE current) override;
};

// The selected generator operators, in the order of the active objects. Out of memory while the list
// grows is returned.
Result<void> CollectTargetOperators(const AtomArray* activeObjects, BaseArray<BaseObject*>& out);

// Registers both icons (main sheet cells (64, 128) and (128, 128)), then Next Blend Mode at sortOrder
// and, when that succeeded, Previous Blend Mode at sortOrder + 1.
Bool RegisterCycleBlendmodeCommands(Int32 sortOrder);
