#include "kept_code.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// How a child returns a module: this, then the path, the source and the code, each as long as
// this says.
struct ModuleRecord {
  std::uint64_t kind;
  std::uint64_t pathSize;
  std::uint64_t sourceSize;
  std::uint64_t codeSize;
  std::int64_t magic;
  std::int64_t optimization;
};

void AppendRecord(std::string &records, RecordKind kind, const CompiledModule &module) {
  const std::size_t before = records.size();
  const ModuleRecord record{static_cast<std::uint64_t>(kind),
                            module.path.size(),
                            module.source.size(),
                            module.code.size(),
                            module.magic,
                            module.optimization};
  const std::size_t size =
      sizeof record + module.path.size() + module.source.size() + module.code.size();
  if (kKeptCodeBytes - std::min(before, kKeptCodeBytes) < size) {
    return;
  }
  try {
    records.append(reinterpret_cast<const char *>(&record), sizeof record);
    records.append(module.path).append(module.source).append(module.code);
  } catch (const std::bad_alloc &) {
    records.resize(before);
  }
}

// `size` bytes at `offset` into `text`.
static bool ReadAt(int file, std::uint64_t &offset, std::uint64_t size, std::string &text) {
  text.resize(size);
  for (std::size_t done = 0; done < size;) {
    const ssize_t count = pread(file, &text[done], size - done, static_cast<off_t>(offset + done));
    if (count <= 0 && (count == 0 || errno != EINTR)) {
      return false;
    }
    done += count > 0 ? static_cast<std::size_t>(count) : 0;
  }
  offset += size;
  return true;
}

bool ReadRecord(int records, std::uint64_t &offset, RecordKind &kind, CompiledModule &module) {
  struct stat file {};
  ModuleRecord record{};
  if (fstat(records, &file) != 0 ||
      static_cast<std::uint64_t>(file.st_size) < offset + sizeof record ||
      pread(records, &record, sizeof record, static_cast<off_t>(offset)) != sizeof record) {
    return false;
  }
  const std::uint64_t left = static_cast<std::uint64_t>(file.st_size) - offset - sizeof record;
  if (record.kind > static_cast<std::uint64_t>(RecordKind::Compiled) || record.pathSize > left ||
      record.sourceSize > left - record.pathSize ||
      record.codeSize > left - record.pathSize - record.sourceSize) {
    return false;
  }
  offset += sizeof record;
  kind = static_cast<RecordKind>(record.kind);
  module.magic = record.magic;
  module.optimization = record.optimization;
  return ReadAt(records, offset, record.pathSize, module.path) &&
         ReadAt(records, offset, record.sourceSize, module.source) &&
         ReadAt(records, offset, record.codeSize, module.code);
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

bool MarkUsed(KeptCode &kept, int records) {
  bool read = false;
  std::uint64_t offset = 0;
  RecordKind kind{};
  CompiledModule module{};
  try {
    while (ReadRecord(records, offset, kind, module)) {
      const auto found =
          kind == RecordKind::Used ? kept.index.find(KeyOf(module)) : kept.index.end();
      if (found != kept.index.end()) {
        kept.modules.splice(kept.modules.begin(), kept.modules, found->second);
      }
      read = read || kind == RecordKind::Read;
    }
  } catch (const std::bad_alloc &) {
    // What was not read is compiled again, as it was before.
  }
  return read;
}

void KeepCompiled(KeptCode &kept, int records) {
  std::uint64_t offset = 0;
  RecordKind kind{};
  CompiledModule module{};
  try {
    while (ReadRecord(records, offset, kind, module)) {
      if (kind == RecordKind::Compiled && !module.code.empty()) {
        Keep(kept, std::move(module));
      }
    }
  } catch (const std::bad_alloc &) {
    // A module not kept is compiled again, as it was before.
  }
}
