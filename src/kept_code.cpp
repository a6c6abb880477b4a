#include "kept_code.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

// The modules this run's actions compiled. CallScriptFunction takes no state of its own, so they
// live in a function-local static for the life of the program; an action's child reads them in the
// copy of the program's memory that fork gave it.
static std::vector<CompiledModule> &KeptModules() {
  static std::vector<CompiledModule> modules;
  return modules;
}

static bool SameKey(const CompiledModule &one, const CompiledModule &other) {
  return one.path == other.path && one.magic == other.magic &&
         one.optimization == other.optimization;
}

static std::size_t Size(const CompiledModule &module) {
  return module.path.size() + module.source.size() + module.code.size();
}

const std::string *FindKeptCode(const CompiledModule &module) {
  for (const CompiledModule &kept : KeptModules()) {
    if (SameKey(kept, module) && kept.source == module.source) {
      return &kept.code;
    }
  }
  return nullptr;
}

// How a child hands a compiled module over: this, then the path, the source and the code.
struct ModuleRecord {
  std::uint64_t pathSize;
  std::uint64_t sourceSize;
  std::uint64_t codeSize;
  std::int64_t magic;
  std::int64_t optimization;
};

void AppendRecord(std::string &handing, const CompiledModule &module) {
  const std::size_t before = handing.size();
  const ModuleRecord record{module.path.size(), module.source.size(), module.code.size(),
                            module.magic, module.optimization};
  if (kKeptCodeBytes - before < sizeof record + Size(module)) {
    return;
  }
  try {
    handing.append(reinterpret_cast<const char *>(&record), sizeof record);
    handing.append(module.path).append(module.source).append(module.code);
  } catch (const std::bad_alloc &) {
    handing.resize(before);
  }
}

// The record at `offset` in what a child handed over, and `offset` moved past it; false at the end,
// or where a size is more than what is left: the bytes come from the script's process.
static bool ReadRecord(const std::string &handed, std::size_t &offset, CompiledModule &module) {
  ModuleRecord record{};
  if (handed.size() - offset < sizeof record) {
    return false;
  }
  std::memcpy(&record, handed.data() + offset, sizeof record);
  const std::size_t left = handed.size() - offset - sizeof record;
  if (record.pathSize > left || record.sourceSize > left - record.pathSize ||
      record.codeSize > left - record.pathSize - record.sourceSize) {
    return false;
  }
  offset += sizeof record;
  module.path = handed.substr(offset, record.pathSize);
  offset += record.pathSize;
  module.source = handed.substr(offset, record.sourceSize);
  offset += record.sourceSize;
  module.code = handed.substr(offset, record.codeSize);
  offset += record.codeSize;
  module.magic = record.magic;
  module.optimization = record.optimization;
  return true;
}

static void Keep(CompiledModule &&module) {
  std::vector<CompiledModule> &modules = KeptModules();
  modules.erase(
      std::remove_if(modules.begin(), modules.end(),
                     [&module](const CompiledModule &kept) { return SameKey(kept, module); }),
      modules.end());
  std::size_t size = Size(module);
  for (const CompiledModule &kept : modules) {
    size += Size(kept);
  }
  if (size <= kKeptCodeBytes) {
    modules.push_back(std::move(module));
  }
}

void KeepHandedOver(const std::string &handed) {
  std::size_t offset = 0;
  CompiledModule module{};
  try {
    while (ReadRecord(handed, offset, module)) {
      Keep(std::move(module));
    }
  } catch (const std::bad_alloc &) {
    // A module not kept is compiled again, as it was before.
  }
}
