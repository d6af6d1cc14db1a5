// The host's input-state query, as far as the module asks it: the keyboard's qualifier keys.
//
// GetInputState(INPUT_DEVICE_KEYBOARD, INPUT_CHANNEL_QUALIFIERS, res) answers true and stores the
// qualifier mask (Int32, QUALIFIER_SHIFT ...) under INPUT_QUALIFIERS in res; any other device or
// channel answers false and leaves res alone. There is no real keyboard: tests and the front end set
// the state with host::SetQualifiers, and host::SetInputStateFails makes the next queries fail as a
// host without input focus would. Safe from any thread.
#pragma once

#include "host/scene/basecontainer.h"

inline constexpr Int32 INPUT_DEVICE_KEYBOARD = 0x6B657962;      // 'keyb'
inline constexpr Int32 INPUT_CHANNEL_QUALIFIERS = 0x69706361;   // 'ipca'
inline constexpr Int32 INPUT_QUALIFIERS = 0x69707161;           // 'ipqa': the Int32 mask in the answer

inline constexpr Int32 QUALIFIER_NONE = 0;
inline constexpr Int32 QUALIFIER_SHIFT = 1;
inline constexpr Int32 QUALIFIER_CTRL = 2;
inline constexpr Int32 QUALIFIER_ALT = 4;

Bool GetInputState(Int32 device, Int32 channel, BaseContainer& res);

namespace host
{
// The qualifier keys held down now.
void SetQualifiers(Int32 mask);
Int32 GetQualifiers();
// While set, every input-state query fails.
void SetInputStateFails(Bool fail);
// Counts the input-state queries (tests check that a helper really asked).
Int GetInputStateQueryCount();
// Releases every key and clears the failure switch.
void ResetInputState();
} // namespace host
