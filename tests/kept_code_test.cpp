#include "kept_code.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "row_name.h"

namespace {

// What a step does to the store, or checks of it.
enum class Action {
  Keep,      // the program's child returns the module's code, compiled
  Use,       // an action returns that it used the module's kept code
  Read,      // an action returns that it read the module's source and compiled it itself
  CutShort,  // a child returns the module's code, its last byte missing
  Found,     // the module's code must be kept
  Missing,   // it must not be
  Count,     // that many modules must be kept
};

struct Step {
  Action action;
  CompiledModule module;
  std::size_t count = 0;  // with Count
};

constexpr std::size_t kCode = 10000;  // bytes of code a module has, unless a step says otherwise
constexpr std::int64_t kMagic = 3439;

Step Of(Action action, const char *path, const char *source = "1", std::size_t code = kCode,
        std::int64_t level = 0) {
  return {action, {path, kMagic, level, source, std::string(code, 'c')}};
}

Step Count(std::size_t modules) {
  return {Action::Count, {}, modules};
}

struct Row {
  const char *name;
  std::vector<Step> steps;
  std::size_t bound = kKeptCodeBytes;
};

void PrintTo(const Row &row, std::ostream *out) {
  *out << row.name;
}

// A file holding `records`, as a child returns it.
int FileOf(const std::string &records) {
  const int file = memfd_create("records", MFD_CLOEXEC);
  EXPECT_EQ(write(file, records.data(), records.size()), static_cast<ssize_t>(records.size()));
  return file;
}

class KeptCodeTest : public testing::TestWithParam<Row> {};

TEST_P(KeptCodeTest, KeepsFindsAndDropsWithinTheBound) {
  KeptCode kept;
  kept.bound = GetParam().bound;
  int number = 0;
  for (const Step &step : GetParam().steps) {
    ++number;
    std::string records;
    const RecordKind kind = step.action == Action::Use    ? RecordKind::Used
                            : step.action == Action::Read ? RecordKind::Read
                                                          : RecordKind::Compiled;
    AppendRecord(records, kind, step.module);
    records.resize(records.size() - (step.action == Action::CutShort ? 1 : 0));
    const int file = FileOf(records);
    if (step.action == Action::Keep || step.action == Action::CutShort) {
      KeepCompiled(kept, file);
    } else if (step.action == Action::Use || step.action == Action::Read) {
      EXPECT_EQ(MarkUsed(kept, file), step.action == Action::Read) << "step " << number;
    } else if (step.action == Action::Count) {
      EXPECT_EQ(kept.modules.size(), step.count) << "step " << number;
    } else {
      const std::string *code = FindKeptCode(kept, step.module);
      EXPECT_EQ(code != nullptr, step.action == Action::Found) << "step " << number;
      EXPECT_EQ(code != nullptr ? *code : step.module.code, step.module.code) << "step " << number;
    }
    close(file);
    EXPECT_LE(kept.size, kept.bound) << "step " << number;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Store, KeptCodeTest,
    testing::Values(
        Row{"found by path level and source",
            {Of(Action::Keep, "a"), Of(Action::Found, "a"), Of(Action::Missing, "a", "2"),
             Of(Action::Missing, "b"), Of(Action::Missing, "a", "1", kCode, 1)}},
        Row{"a new version replaces the old",
            {Of(Action::Keep, "a"), Of(Action::Keep, "a", "2"), Of(Action::Missing, "a"),
             Of(Action::Found, "a", "2"), Count(1)}},
        // Two modules of 10,000 bytes fit in 25,000, with what each takes besides; three do not.
        Row{"the least recently used make way",
            {Of(Action::Keep, "a"), Of(Action::Keep, "b"), Of(Action::Use, "a"),
             Of(Action::Keep, "c"), Of(Action::Found, "a"), Of(Action::Missing, "b"),
             Of(Action::Found, "c"), Count(2)},
            25000},
        Row{"a module larger than the bound is not kept and drops nothing",
            {Of(Action::Keep, "a"), Of(Action::Keep, "b", "1", 30000), Of(Action::Found, "a"),
             Of(Action::Missing, "b", "1", 30000)},
            25000},
        Row{"a use of a module not kept keeps nothing", {Of(Action::Use, "a"), Count(0)}},
        Row{"source read by an action is for the program to compile, and keeps nothing",
            {Of(Action::Read, "a", "1", 0), Of(Action::Missing, "a", "1", 0), Count(0)}},
        Row{"a record cut short is not read", {Of(Action::CutShort, "a"), Count(0)}}),
    RowName());

// What the store counts is what the modules take on the heap, within a tenth.
TEST(KeptCodeMemory, CountsWhatTheModulesTake) {
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 33)
  KeptCode kept;
  std::string records;
  for (int module = 0; module < 2000; ++module) {
    AppendRecord(records, RecordKind::Compiled,
                 {"/home/user/menu/m" + std::to_string(module) + ".py", kMagic, 0,
                  "VALUE = " + std::to_string(module) + "\n", std::string(200, 'c')});
  }
  const int file = FileOf(records);
  const std::size_t before = mallinfo2().uordblks;
  KeepCompiled(kept, file);
  const std::size_t taken = mallinfo2().uordblks - before;
  close(file);
  if (taken == 0) {
    GTEST_SKIP() << "the heap is not the C library's (a sanitizer's?)";
  }
  EXPECT_EQ(kept.modules.size(), 2000U);
  EXPECT_NEAR(static_cast<double>(kept.size), static_cast<double>(taken), taken / 10.0);
#else
  GTEST_SKIP() << "no mallinfo2 in this C library";
#endif
}

}  // namespace
