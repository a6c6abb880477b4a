#include "kept_code.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <string_view>
#include <utility>

std::size_t ModuleKeyHash::operator()(const ModuleKey &key) const {
  const std::size_t path = std::hash<std::string_view>()(key.path);
  return path ^ (std::hash<std::int64_t>()(key.magic * 3 + key.optimization) << 1);
}

static ModuleKey KeyOf(const CompiledModule &module) {
  return {module.path, module.magic, module.optimization};
}

// What a kept module takes in memory: the heap blocks of its strings, its list node and its index
// entry, each block with the allocator's header.
static std::size_t Footprint(const CompiledModule &module) {
  constexpr std::size_t kBlockHeader = 16;
  const std::size_t inPlace = std::string().capacity();
  const auto heap = [inPlace](const std::string &text) {
    return text.capacity() > inPlace ? text.capacity() + 1 + kBlockHeader : 0;
  };
  const std::size_t listNode = sizeof(CompiledModule) + 2 * sizeof(void *) + kBlockHeader;
  const std::size_t indexEntry = sizeof(ModuleKey) + 3 * sizeof(void *) + kBlockHeader;
  return listNode + indexEntry + heap(module.path) + heap(module.source) + heap(module.code);
}

const std::string *FindKeptCode(const KeptCode &kept, const CompiledModule &module) {
  const auto found = kept.index.find(KeyOf(module));
  if (found == kept.index.end() || found->second->source != module.source) {
    return nullptr;
  }
  return &found->second->code;
}

// How a child returns a module: this, then the path, the source and the code. A module whose
// code was kept already comes with its path alone.
struct ModuleRecord {
  std::uint64_t pathSize;
  std::uint64_t sourceSize;
  std::uint64_t codeSize;
  std::int64_t magic;
  std::int64_t optimization;
};

static void AppendRecord(std::string &returning, const CompiledModule &module,
                         std::string_view source, std::string_view code) {
  const std::size_t before = returning.size();
  const ModuleRecord record{module.path.size(), source.size(), code.size(), module.magic,
                            module.optimization};
  if (kKeptCodeBytes - before < sizeof record + module.path.size() + source.size() + code.size()) {
    return;
  }
  try {
    returning.append(reinterpret_cast<const char *>(&record), sizeof record);
    returning.append(module.path).append(source).append(code);
  } catch (const std::bad_alloc &) {
    returning.resize(before);
  }
}

void AppendCompiled(std::string &returning, const CompiledModule &module) {
  AppendRecord(returning, module, module.source, module.code);
}

void AppendUsed(std::string &returning, const CompiledModule &module) {
  AppendRecord(returning, module, {}, {});
}

// The record at `offset` in what a child returned, and `offset` moved past it; false at the end,
// or where a size is more than what is left: the bytes come from the script's process.
static bool ReadRecord(std::string_view returned, std::size_t &offset, CompiledModule &module) {
  ModuleRecord record{};
  if (returned.size() - offset < sizeof record) {
    return false;
  }
  std::memcpy(&record, returned.data() + offset, sizeof record);
  const std::size_t left = returned.size() - offset - sizeof record;
  if (record.pathSize > left || record.sourceSize > left - record.pathSize ||
      record.codeSize > left - record.pathSize - record.sourceSize) {
    return false;
  }
  offset += sizeof record;
  module.path = returned.substr(offset, record.pathSize);
  offset += record.pathSize;
  module.source = returned.substr(offset, record.sourceSize);
  offset += record.sourceSize;
  module.code = returned.substr(offset, record.codeSize);
  offset += record.codeSize;
  module.magic = record.magic;
  module.optimization = record.optimization;
  return true;
}

static void Drop(KeptCode &kept, std::list<CompiledModule>::iterator module) {
  kept.size -= Footprint(*module);
  kept.index.erase(KeyOf(*module));
  kept.modules.erase(module);
}

static void Keep(KeptCode &kept, CompiledModule &&module) {
  const auto old = kept.index.find(KeyOf(module));
  if (old != kept.index.end()) {
    Drop(kept, old->second);
  }
  const std::size_t footprint = Footprint(module);
  if (footprint > kept.bound) {
    return;
  }
  while (kept.size + footprint > kept.bound) {
    Drop(kept, std::prev(kept.modules.end()));
  }
  kept.modules.push_front(std::move(module));
  try {
    kept.index.emplace(KeyOf(kept.modules.front()), kept.modules.begin());
  } catch (const std::bad_alloc &) {
    kept.modules.pop_front();
    throw;
  }
  kept.size += footprint;
}

static void MarkUsed(KeptCode &kept, const CompiledModule &module) {
  const auto found = kept.index.find(KeyOf(module));
  if (found != kept.index.end()) {
    kept.modules.splice(kept.modules.begin(), kept.modules, found->second);
  }
}

void KeepReturned(KeptCode &kept, std::string_view returned) {
  std::size_t offset = 0;
  CompiledModule module{};
  try {
    while (ReadRecord(returned, offset, module)) {
      if (module.code.empty()) {
        MarkUsed(kept, module);
      } else {
        Keep(kept, std::move(module));
      }
    }
  } catch (const std::bad_alloc &) {
    // A module not kept is compiled again, as it was before.
  }
}
