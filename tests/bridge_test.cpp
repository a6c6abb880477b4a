#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include "script_bridge.h"

namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

struct Call {
  const char *module;    // fixture folder put on PYTHONPATH
  const char *function;  // script function to call
  std::int32_t argument;
  std::int32_t expected;
  const char *report;  // expected in standard error; empty: nothing may be written there
};

std::ostream &operator<<(std::ostream &out, const Call &call) {
  return out << call.module << '.' << call.function << '(' << call.argument << ')';
}

// Runs one call with `folder` as the only extra module search entry; returns its standard error.
std::string CallIn(const std::string &folder, const Call &call, std::int32_t &result) {
  setenv("PYTHONPATH", folder.c_str(), 1);
  testing::internal::CaptureStderr();
  result = CallScriptFunction(call.function, call.argument);
  return testing::internal::GetCapturedStderr();
}

class BridgeCall : public testing::TestWithParam<Call> {};

TEST_P(BridgeCall, ReturnsResultAndReportsFailures) {
  const Call &call = GetParam();
  std::int32_t result = 0;
  const std::string errors = CallIn(std::string(FIXTURES_DIR "/") + call.module, call, result);
  EXPECT_EQ(result, call.expected);
  if (*call.report == '\0') {
    EXPECT_EQ(errors, "");
  } else {
    EXPECT_NE(errors.find(call.report), std::string::npos) << errors;
  }
}

INSTANTIATE_TEST_SUITE_P(Results, BridgeCall,
                         testing::Values(Call{"functions", "DoubleValue", 5, 10, ""},
                                         Call{"functions", "DoubleValue", -4, -8, ""},
                                         Call{"functions", "Identity", kMin, kMin, ""},
                                         Call{"functions", "Identity", kMax, kMax, ""},
                                         Call{"functions", "Identity", -1, -1, ""},
                                         Call{"functions", "ClosesDescriptors", 6, 12, ""},
                                         Call{"functions", "MarkedResult", 7, 7, "result released"},
                                         Call{"module_getattr", "DoubleValue", 6, 12, ""}));

INSTANTIATE_TEST_SUITE_P(UnconvertibleResults, BridgeCall,
                         testing::Values(Call{"functions", "Beyond", kMax, -1, "OverflowError"},
                                         Call{"functions", "Beyond", kMin, -1, "OverflowError"},
                                         Call{"functions", "Text", 3, -1, "TypeError"},
                                         Call{"functions", "Fraction", 3, -1, "TypeError"},
                                         Call{"functions", "PrintsOnly", 3, -1, ""}));

INSTANTIATE_TEST_SUITE_P(
    FailedCalls, BridgeCall,
    testing::Values(Call{"functions", "Raises", 3, -1, "ValueError: cannot take 3"},
                    Call{"functions", "Missing", 3, -1,
                         "AttributeError: module 'PythonCode' has no attribute 'Missing'"},
                    Call{"functions", "NotCallable", 3, -1,
                         "TypeError: PythonCode.NotCallable is not callable"},
                    Call{"functions", "TakesTwo", 3, -1,
                         "TypeError: TakesTwo() missing 1 required positional"},
                    Call{"functions", "Crashes", 3, -1,
                         "script-menu: the script's interpreter was killed by signal 11 "
                         "(Segmentation fault)\n"},
                    Call{"functions", "Aborts", 3, -1, "killed by signal 6 (Aborted)"},
                    Call{"functions", "Crashes", 4, -1, "PythonCode.py\", line 76 in Crashes\n"},
                    Call{"functions", "Aborts", 4, -1, "PythonCode.py\", line 80 in Aborts\n"},
                    Call{"functions", "FillsOutput", 3, 6,
                         "\nscript-menu: the script's output could not be written in full\n"}));

INSTANTIATE_TEST_SUITE_P(
    FailedImports, BridgeCall,
    testing::Values(Call{"absent", "DoubleValue", 3, -1, "No module named 'PythonCode'"},
                    Call{"broken_syntax", "DoubleValue", 3, -1, "SyntaxError"},
                    Call{"raising_import", "DoubleValue", 3, -1, "RuntimeError: top level failed"},
                    Call{"not_a_module", "DoubleValue", 3, -1, "AttributeError"}));

TEST(BridgeLifetime, GlobalsStartAfreshInEveryCall) {
  const Call call{"functions", "CountCalls", 5, 5, ""};
  std::int32_t first = 0;
  std::int32_t second = 0;
  CallIn(FIXTURES_DIR "/functions", call, first);
  CallIn(FIXTURES_DIR "/functions", call, second);
  EXPECT_EQ(first, 5);
  EXPECT_EQ(second, 5);
}

// Same size and modification time: only a fresh compile of the source sees the edit.
TEST(BridgeLifetime, EditedScriptTakesEffectAtTheNextCallAndNoBytecodeIsWritten) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / ("bridge_test_" + std::to_string(getpid()));
  fs::create_directories(folder);
  unsetenv("PYTHONDONTWRITEBYTECODE");
  const Call call{"", "DoubleValue", 5, 0, ""};
  std::int32_t before = 0;
  std::int32_t after = 0;
  const fs::path script = folder / "PythonCode.py";
  std::ofstream(script) << "def DoubleValue(v):\n    return v * 2\n";
  const fs::file_time_type written = fs::last_write_time(script);
  CallIn(folder, call, before);
  std::ofstream(script) << "def DoubleValue(v):\n    return v * 3\n";
  fs::last_write_time(script, written);
  CallIn(folder, call, after);
  const bool cached = fs::exists(folder / "__pycache__");
  fs::remove_all(folder);
  EXPECT_EQ(before, 10);
  EXPECT_EQ(after, 15);
  EXPECT_FALSE(cached);
}

struct Ending {
  const char *function;
  std::int32_t status;
};

class ScriptEndsTheProgramDeathTest : public testing::TestWithParam<Ending> {};

// The program's exit handlers are its own: one that ran in the script's process would end it with
// another status.
void ExitHandlerOfTheProgram() {
  static pid_t program = 0;
  program = getpid();
  std::atexit([] {
    if (getpid() != program) {
      _exit(99);
    }
  });
}

TEST_P(ScriptEndsTheProgramDeathTest, WithItsStatus) {
  setenv("PYTHONPATH", FIXTURES_DIR "/functions", 1);
  EXPECT_EXIT(
      {
        ExitHandlerOfTheProgram();
        CallScriptFunction(GetParam().function, GetParam().status);
      },
      testing::ExitedWithCode(GetParam().status), "");
}

INSTANTIATE_TEST_SUITE_P(Exits, ScriptEndsTheProgramDeathTest,
                         testing::Values(Ending{"Exits", 3}, Ending{"HardExit", 4},
                                         Ending{"ForkedCopyReturns", 5}));

}  // namespace
