#include "kept_code.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "row_name.h"

namespace {

// One step on a store: a module handed over as compiled ('k') or as used ('u'), the same record cut
// short ('t'), a module that must be found ('f') or not ('m'), or the count of modules kept ('#').
struct Step {
  char what;
  const char *path = "a";
  const char *source = "1";
  std::size_t codeSize = 100;
  std::int64_t optimization = 0;
};

struct Row {
  const char *name;
  std::size_t room;  // in modules of the usual size; 0 for the default bound
  std::vector<Step> steps;
};

void PrintTo(const Row &row, std::ostream *out) {
  *out << row.name;
}

CompiledModule ModuleOf(const Step &step) {
  return {step.path, 3439, step.optimization, step.source, std::string(step.codeSize, 'c')};
}

// What one module of the usual size takes.
std::size_t UsualFootprint() {
  KeptCode kept;
  std::string handing;
  AppendCompiled(handing, ModuleOf(Step{'k'}));
  KeepReturned(kept, handing);
  return kept.size;
}

class KeptCodeTest : public testing::TestWithParam<Row> {};

TEST_P(KeptCodeTest, KeepsFindsAndDropsWithinTheBound) {
  KeptCode kept;
  if (GetParam().room != 0) {
    kept.bound = GetParam().room * UsualFootprint();
  }
  int number = 0;
  for (const Step &step : GetParam().steps) {
    ++number;
    const CompiledModule module = ModuleOf(step);
    std::string handing;
    if (step.what == 'k' || step.what == 't') {
      AppendCompiled(handing, module);
      handing.resize(handing.size() - (step.what == 't' ? 1 : 0));
    } else if (step.what == 'u') {
      AppendUsed(handing, module);
    } else if (step.what == '#') {
      EXPECT_EQ(kept.modules.size(), step.codeSize) << "step " << number;
    } else {
      const std::string *code = FindKeptCode(
          kept, CompiledModule{module.path, module.magic, module.optimization, module.source, ""});
      EXPECT_EQ(code != nullptr, step.what == 'f') << "step " << number;
      EXPECT_EQ(code != nullptr ? *code : module.code, module.code) << "step " << number;
    }
    KeepReturned(kept, handing);
    EXPECT_LE(kept.size, kept.bound) << "step " << number;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Store, KeptCodeTest,
    testing::Values(
        Row{"found by path level and source",
            0,
            {{'k'}, {'f'}, {'m', "a", "2"}, {'m', "b"}, {'m', "a", "1", 100, 1}}},
        Row{"a new version replaces the old",
            0,
            {{'k'}, {'k', "a", "2"}, {'m'}, {'f', "a", "2"}, {'#', "", "", 1}}},
        Row{"the least recently used make way",
            2,
            {{'k'},
             {'k', "b"},
             {'u'},
             {'k', "c"},
             {'f'},
             {'m', "b"},
             {'f', "c"},
             {'#', "", "", 2}}},
        Row{"a module larger than the bound is not kept and drops nothing",
            1,
            {{'k'}, {'k', "b", "1", 1000}, {'f'}, {'m', "b", "1", 1000}}},
        Row{"a use of a module not kept keeps nothing", 0, {{'u'}, {'m'}, {'#', "", "", 0}}},
        Row{"a record cut short is not read", 0, {{'t'}, {'m'}, {'#', "", "", 0}}}),
    RowName());

}  // namespace
