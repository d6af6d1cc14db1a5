// The test module's settings: the loader tests write them into the host's world container before they
// open the module, and the module reads them there (one copy of the host's state serves both).
#pragma once

#include "host/core/types.h"

// Sub-container of the world container holding the settings.
inline constexpr Int32 TESTMODULE_SETTINGS = 1999000;
inline constexpr Int32 TESTMODULE_LOAD_ANSWER = 1;      // Int32, default 1
inline constexpr Int32 TESTMODULE_INIT_ANSWER = 2;      // Int32 answer to message 1, default 1
inline constexpr Int32 TESTMODULE_START_ANSWER = 3;     // Int32, default 1
inline constexpr Int32 TESTMODULE_BAD_HASH = 4;         // Bool: publish a record with a wrong hash
// The command the module registers on start; its destructor writes a line, so tests see when the host
// destroys it.
inline constexpr Int32 TESTMODULE_COMMAND_ID = 1999001;

// Every line the module writes to the diagnostic output starts with this.
inline constexpr const char* TESTMODULE_PREFIX = "testmodule: ";
inline constexpr const char* TESTMODULE_IDENTIFIER = "net.orogenix.testmodule";
inline constexpr const char* TESTMODULE_DEPENDENCY_A = "net.orogenix.test.first";
inline constexpr const char* TESTMODULE_DEPENDENCY_B = "net.orogenix.test.second";
