// The host's help: a plug-in registers a callback that the host calls when the user asks for help on an
// object type or one of its parameters; the first callback that answers true has handled the request.
//
// Callbacks live in the plug-in table (under the id they were registered with), so they go when the
// module that registered them is unloaded. Requests come on the host's main thread.
#pragma once

#include <vector>

#include "host/core/string.h"

// opType: the type's description name in upper case ("ONOISEOPERATOR"); baseType: its base type's
// ("OBASEOBJECT"); group: the parameter's group name; property: the parameter's name (empty for the
// type itself).
using PluginHelpDelegate = Bool (*)(const String& opType, const String& baseType, const String& group,
                                    const String& property);

// False for a null callback or an id that is registered already.
Bool RegisterPluginHelpDelegate(Int32 pluginId, PluginHelpDelegate delegate);

namespace host
{
struct HelpRequest
{
  String opType;
  String baseType;
  String group;
  String property;
  Int32 handledBy = 0;   // the id of the callback that answered true, 0 when none did
};

// The user asks for help: the registered callbacks in registration order until one answers true.
// True when one did.
Bool RequestHelp(const String& opType, const String& baseType, const String& group, const String& property);
// Every request since the last reset.
std::vector<HelpRequest> GetHelpRequests();
void ResetHelpRequests();
} // namespace host
