// Core events and the message plug-ins that receive them.
//
// SpecialEventAdd posts a core event (an id and two parameters) from any thread, a script's thread
// included. Events wait in one queue, in the order they were posted, until the host's event pump
// (host::ProcessCoreEvents) delivers them on the main thread: every registered message plug-in's
// CoreMessage gets every event, with the parameters in the message container under BFM_CORE_PAR1 and
// BFM_CORE_PAR2. Events are never coalesced: two posts of the same id with the same parameters are two
// deliveries (a response event per request must not be lost).
#pragma once

#include <chrono>
#include <vector>

#include "host/scene/basecontainer.h"
#include "host/scene/plugins.h"

// The keys of a core message's parameters (stored as Int64).
inline constexpr Int32 BFM_CORE_PAR1 = 1;
inline constexpr Int32 BFM_CORE_PAR2 = 2;

// A message plug-in: CoreMessage gets every core event on the host's main thread. The default answers
// true and does nothing.
class MessageData : public BaseData
{
public:
  virtual Bool CoreMessage(Int32 id, const BaseContainer& bc);
};

// Registers a message plug-in. The host owns dat from this call on, also when the registration is
// refused (it is then deleted at once); registered instances are destroyed with the plug-in table.
Bool RegisterMessagePlugin(Int32 id, const String& name, Int32 info, MessageData* dat);
// The instance registered as message plug-in id, or null when there is none.
MessageData* FindMessagePlugin(Int32 id);

// Posts a core event; safe from any thread. False when memory cannot be had.
Bool SpecialEventAdd(Int32 messageid, UInt p1 = 0, UInt p2 = 0);

namespace host
{
struct CoreEvent
{
  Int32 id = 0;
  UInt p1 = 0;
  UInt p2 = 0;
};

// Delivers the queued events in order, on the calling thread (the main thread), including those posted
// while it delivers; answers how many were delivered.
Int ProcessCoreEvents();
// Waits until an event is queued or the timeout passes; true when one is queued.
Bool WaitForCoreEvent(std::chrono::milliseconds timeout);
Int GetPendingCoreEventCount();
// Every event delivered since the last reset, in order.
std::vector<CoreEvent> GetDeliveredCoreEvents();
// Drops the queue and the record.
void ResetCoreEvents();
} // namespace host
