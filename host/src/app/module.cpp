// The host side of the module record: the hash check of published dependency tables and the record of
// released identifiers.
#include "host/app/module.h"

#include <mutex>

#include "host/core/log.h"

namespace
{
struct RecordState
{
  std::mutex mutex;
  std::vector<host::PublishedModuleRecord> published;
  std::vector<String> released;
};

RecordState& State()
{
  static RecordState s;
  return s;
}

constexpr UInt64 LOW_43_BITS = (UInt64(1) << 43) - 1;
constexpr int LENGTH_SHIFT = 44;

// Why a publication cannot be kept; empty when it can. Fills record with what could be read.
String CheckRecord(const char* moduleIdentifier, const ModuleDependencyEntry* table, Int count,
                   host::PublishedModuleRecord& record)
{
  if (!moduleIdentifier || !*moduleIdentifier)
    return "the module identifier is missing";
  record.moduleIdentifier = moduleIdentifier;
  if (count < 0)
    return "the dependency count " + String::IntToString(count) + " is negative";
  if (count > 0 && !table)
    return "the dependency table is missing";
  for (Int i = 0; i < count; ++i)
  {
    const ModuleDependencyEntry& e = table[i];
    if (!e.identifier || !*e.identifier)
      return "dependency " + String::IntToString(i) + " has no identifier";
    record.dependencies.push_back({String(e.identifier), e.hash});
    const UInt64 expected = host::HashModuleIdentifier(e.identifier);
    if (e.hash != expected)
      return "dependency \"" + String(e.identifier) + "\" has the hash " + String::UIntToString(e.hash) +
             ", expected " + String::UIntToString(expected);
  }
  return String();
}
} // namespace

Bool PublishModuleRecord(const char* moduleIdentifier, const ModuleDependencyEntry* table, Int count)
{
  host::PublishedModuleRecord record;
  record.refusal = CheckRecord(moduleIdentifier, table, count, record);
  record.accepted = record.refusal.IsEmpty();
  if (!record.accepted)
    DiagnosticOutput("Module record of \"" + record.moduleIdentifier + "\" refused: " + record.refusal + ".");
  RecordState& s = State();
  std::lock_guard lock(s.mutex);
  s.published.push_back(record);
  return record.accepted;
}

void ReleaseModuleIdentifier(const char* identifier)
{
  RecordState& s = State();
  std::lock_guard lock(s.mutex);
  s.released.emplace_back(identifier ? identifier : "");
}

namespace host
{
UInt64 HashModuleIdentifier(std::string_view text)
{
  UInt64 h = 0;
  for (const char c : text)
    h = h * 31 + static_cast<unsigned char>(c);
  return (static_cast<UInt64>(text.size()) << LENGTH_SHIFT) + (h & LOW_43_BITS);
}

std::vector<PublishedModuleRecord> GetPublishedModuleRecords()
{
  RecordState& s = State();
  std::lock_guard lock(s.mutex);
  return s.published;
}

std::vector<String> GetReleasedModuleIdentifiers()
{
  RecordState& s = State();
  std::lock_guard lock(s.mutex);
  return s.released;
}

void ResetModuleRecords()
{
  RecordState& s = State();
  std::lock_guard lock(s.mutex);
  s.published.clear();
  s.released.clear();
}

const HostFunctionTable* GetHostFunctionTable()
{
  static const HostFunctionTable table;
  return &table;
}
} // namespace host
