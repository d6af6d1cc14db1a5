// The boundary between the host and a module it loads: the one exported entry function, the message
// codes the host sends through it, the host function table handed over on load, and the module record
// (the module's identifier and the host frameworks it depends on) that a module publishes while it is
// being opened.
//
// The entry: Int32 c4d_main(Int32 message, void* a, void* b, void* c), exported with C linkage.
//   LOAD (1)     a: const HostFunctionTable*; b: null; c: the module file's own path (const char*,
//                UTF-8). Answers 1 when the module can run in this host, -3 when it refuses.
//   START (2)    answers 1 when the module registered everything, 0 otherwise.
//   END (3)      balances one LOAD; answers 1.
//   QUERY (4)    the host only records the answer (modules of this generation answer 5).
//   MESSAGE (6)  a: the message id as a pointer-sized integer (not a pointer to one); b: its data.
//                Answers 1 for true, -1 for false.
//   Any other code is answered with -1.
//
// The module record is published from the module's static initialisation (so before any message) and
// its identifiers are released by the module's static destruction (when the host unloads it). Both
// run on the thread that opens or closes the module.
#pragma once

#include <string_view>
#include <vector>

#include "host/core/string.h"

// The entry's name and shape.
inline constexpr const char* MODULE_ENTRY_NAME = "c4d_main";
using ModuleEntryFunction = Int32 (*)(Int32 message, void* a, void* b, void* c);

enum class MODULEMESSAGE : Int32
{
  LOAD = 1,
  START = 2,
  END = 3,
  QUERY = 4,
  MESSAGE = 6,
};

// Answers of the entry.
inline constexpr Int32 MODULE_OK = 1;
inline constexpr Int32 MODULE_FAILED = -1;
inline constexpr Int32 MODULE_REFUSED = ~2;   // -3: the module will not run in this host

// The first message id the host sends with MESSAGE: the module loads its resources. A module that
// answers it with false is not started.
inline constexpr Int32 MODULE_MESSAGE_INIT = 1;

// The version word of this host. Modules compare it against the oldest host they run in.
inline constexpr Int32 HOST_VERSION = 21200;

// What the host hands a module on LOAD. The module keeps the pointer for as long as it is loaded; the
// host keeps the table alive at least that long.
struct HostFunctionTable
{
  Int32 version = HOST_VERSION;
};

// One entry of a module's dependency table: a host framework identifier and its host hash (see
// HashModuleIdentifier).
struct ModuleDependencyEntry
{
  const char* identifier = nullptr;
  UInt64 hash = 0;
};

// Publishes the module record: its reverse-domain identifier and its dependency table. The host copies
// both and checks every hash; a record with a wrong hash, a null or empty text or a negative count is
// refused (false, with the reason on the diagnostic output) and not kept.
Bool PublishModuleRecord(const char* moduleIdentifier, const ModuleDependencyEntry* table, Int count);
// The module's unload hook: it releases one of its identifiers (the host records the order).
void ReleaseModuleIdentifier(const char* identifier);

namespace host
{
// The host hash of an identifier: (character count << 44) + the low 43 bits of h, where h = h * 31 + c
// over the characters (as unsigned bytes) from the first, in unsigned 64-bit arithmetic starting at 0.
// Bit 43 is therefore always 0.
UInt64 HashModuleIdentifier(std::string_view text);

struct ModuleDependency
{
  String identifier;
  UInt64 hash = 0;
};

struct PublishedModuleRecord
{
  String moduleIdentifier;
  std::vector<ModuleDependency> dependencies;
  Bool accepted = false;
  String refusal;   // why it was refused; empty when accepted
};

// Every publication since the last reset, in order (refused ones included, with what could be read).
std::vector<PublishedModuleRecord> GetPublishedModuleRecords();
// Every identifier released through the unload hook, in order.
std::vector<String> GetReleasedModuleIdentifiers();
// Forgets both (between tests).
void ResetModuleRecords();

// The table the loader hands to every module it loads (version HOST_VERSION).
const HostFunctionTable* GetHostFunctionTable();
} // namespace host
