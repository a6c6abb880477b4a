#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#include "child_process.h"
#include "kept_code_compile.h"
#include "row_name.h"
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

// Runs one call with `folder` as the only extra module search entry, and the code that earlier
// calls of a run kept; returns its standard error.
std::string CallIn(const std::string &folder, const Call &call, std::int32_t &result,
                   KeptCode &kept) {
  setenv("PYTHONPATH", folder.c_str(), 1);
  testing::internal::CaptureStderr();
  result = CallScriptFunction(call.function, call.argument, false, kept);
  return testing::internal::GetCapturedStderr();
}

class BridgeCall : public testing::TestWithParam<Call> {};

TEST_P(BridgeCall, ReturnsResultAndReportsFailures) {
  const Call &call = GetParam();
  std::int32_t result = 0;
  KeptCode kept;
  const std::string errors =
      CallIn(std::string(FIXTURES_DIR "/") + call.module, call, result, kept);
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
                    // The fault handler's traceback, whose lines end "line N in Crashes".
                    Call{"functions", "Crashes", 4, -1, " in Crashes\n"},
                    Call{"functions", "Aborts", 4, -1, " in Aborts\n"},
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
  KeptCode kept;
  CallIn(FIXTURES_DIR "/functions", call, first, kept);
  CallIn(FIXTURES_DIR "/functions", call, second, kept);
  EXPECT_EQ(first, 5);
  EXPECT_EQ(second, 5);
}

// One action on modules that the test writes: a file written first, then DoubleValue(5).
struct Action {
  const char *file;  // under the row's folder, written at the modification time it had; or null
  const char *text;
  std::int32_t expected;
  const char *report;     // expected in standard error; empty, with no sameReportAs: nothing at all
  int sameReportAs = -1;  // an earlier action whose standard error this one's equals
  const char *searched = "";   // PYTHONPATH, under the row's folder
  const char *optimize = "0";  // PYTHONOPTIMIZE
};

struct Actions {
  const char *name;
  std::vector<Action> actions;
  std::size_t keptBytes = kKeptCodeBytes;  // the bound of the code kept
};

void PrintTo(const Actions &row, std::ostream *out) {
  *out << row.name;
}

// An edit keeps the size and modification time where the text's length allows: only the source
// itself tells the versions apart.
void WriteAsBefore(const std::filesystem::path &file, const char *text) {
  namespace fs = std::filesystem;
  fs::create_directories(file.parent_path());
  std::error_code absent;
  const fs::file_time_type written = fs::last_write_time(file, absent);
  std::ofstream(file) << text;
  if (!absent) {
    fs::last_write_time(file, written);
  }
}

int Occurrences(const std::string &text, const std::string &part) {
  int found = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++found;
  }
  return found;
}

class ActionsOnModules : public testing::TestWithParam<Actions> {};

TEST_P(ActionsOnModules, RunTheSourceAsItIsAndWriteNoBytecode) {
  namespace fs = std::filesystem;
  static int rows = 0;  // a folder of its own per row, even when rows repeat in one process
  const fs::path folder = fs::temp_directory_path() / ("bridge_test_" + std::to_string(getpid()) +
                                                       "_" + std::to_string(++rows));
  unsetenv("PYTHONDONTWRITEBYTECODE");
  KeptCode kept;
  kept.bound = GetParam().keptBytes;
  std::vector<std::string> reports;
  for (const Action &action : GetParam().actions) {
    if (action.file != nullptr) {
      WriteAsBefore(folder / action.file, action.text);
    }
    setenv("PYTHONOPTIMIZE", action.optimize, 1);
    std::int32_t result = 0;
    reports.push_back(
        CallIn(folder / action.searched, Call{"", "DoubleValue", 5, 0, ""}, result, kept));
    const std::string &errors = reports.back();
    EXPECT_EQ(result, action.expected) << "action " << reports.size();
    if (action.sameReportAs >= 0) {
      EXPECT_EQ(errors, reports[static_cast<std::size_t>(action.sameReportAs)]);
    }
    if (*action.report == '\0' && action.sameReportAs < 0) {
      EXPECT_EQ(errors, "") << "action " << reports.size();
    } else if (*action.report != '\0') {
      EXPECT_EQ(Occurrences(errors, action.report), 1) << errors;
    }
  }
  unsetenv("PYTHONOPTIMIZE");
  std::vector<std::string> written;
  for (const fs::directory_entry &entry : fs::recursive_directory_iterator(folder)) {
    if (entry.path().filename() == "__pycache__") {
      written.push_back(entry.path());
    }
  }
  fs::remove_all(folder);
  EXPECT_EQ(written, std::vector<std::string>{});
}

constexpr const char *kDoubles = "def DoubleValue(v):\n    return v * 2\n";
constexpr const char *kTriples = "def DoubleValue(v):\n    return v * 3\n";
constexpr const char *kWarnsAndDoubles =
    "def DoubleValue(v):\n    return v * 2 if v is not 0 else 0\n";
constexpr const char *kWarnsAndTriples =
    "def DoubleValue(v):\n    return v * 3 if v is not 0 else 0\n";
constexpr const char *kBroken = "def DoubleValue(v)\n    return v * 2\n";
constexpr const char *kQuadruples = "def DoubleValue(v):\n    return v * 4\n";
constexpr const char *kImportsFactor =
    "import factor\n\n\ndef DoubleValue(v):\n    return v * factor.FACTOR\n";
constexpr const char *kRaises = "def DoubleValue(v):\n    values = [v]\n    return values[v]\n";
constexpr const char *kAsserts =
    "def DoubleValue(v):\n    assert v > 5, 'too small'\n    return v * 2\n";
constexpr const char *kNames =
    "import sys\n\n\ndef DoubleValue(v):\n"
    "    print(type(__loader__).__name__, __spec__.cached, DoubleValue.__code__.co_filename,\n"
    "          file=sys.stderr)\n"
    "    return v * 2\n";
// Compiles the modules it imports with their 2s made 2000, through a compile of its own set in
// `owner`: the builtins, or importlib's module.
std::string WrapsCompile(const std::string &owner) {
  return "import builtins\nimport " + owner + " as owner\n\noriginal = builtins.compile\n\n\n" +
         "def rewriting(source, *arguments, **keywords):\n" +
         "    return original(source.replace(b'2', b'2000'), *arguments, **keywords)\n\n\n" +
         "owner.compile = rewriting\n" + kImportsFactor;
}
// The same, through a wrapper of what importlib calls its compile through.
const std::string kWrapsFramesRemoved =
    std::string(
        "import _frozen_importlib as bootstrap\n\noriginal = "
        "bootstrap._call_with_frames_removed\n\n\n"
        "def wrapped(function, first, *rest, **keywords):\n"
        "    if isinstance(first, bytes):\n        first = first.replace(b'2', b'2000')\n"
        "    return original(function, first, *rest, **keywords)\n\n\n"
        "bootstrap._call_with_frames_removed = wrapped\n") +
    kImportsFactor;
// The same, through other code given to any source_to_code function that the method importlib
// calls refers to.
const std::string kBendsOriginal =
    std::string(
        "import gc\nimport types\nimport _frozen_importlib_external as external\n\n\n"
        "def bent(self, data, path, *rest, _optimize=-1):\n"
        "    return compile(data.replace(b'2', b'2000'), path, 'exec', dont_inherit=True,\n"
        "                   optimize=_optimize)\n\n\n"
        "level = [external.SourceLoader.__dict__['source_to_code']]\n"
        "for depth in range(3):\n"
        "    level = [found for item in level for found in gc.get_referents(item)\n"
        "             if not isinstance(found, (dict, type, types.ModuleType))]\n"
        "    for found in level:\n"
        "        if isinstance(found, types.FunctionType) and found.__name__ == 'source_to_code':\n"
        "            found.__code__ = bent.__code__\n") +
    kImportsFactor;
// Compiles its folder's module "checked" itself at level 2, as a script may, and runs that code.
constexpr const char *kCompilesCheckedAtLevelTwo =
    "import importlib.machinery, os\n\n"
    "path = os.path.join(os.path.dirname(__file__), 'checked.py')\n"
    "loader = importlib.machinery.SourceFileLoader('checked', path)\n"
    "namespace = {}\n"
    "exec(loader.source_to_code(loader.get_data(path), path, _optimize=2), namespace)\n"
    "DoubleValue = namespace['DoubleValue']\n";
constexpr const char *kImportsChecked = "from checked import DoubleValue\n";
constexpr const char *kWarnsAndAsserts =
    "def DoubleValue(v):\n    assert v > 5, 'too small'\n    return v * 2 if v is not 0 else 0\n";
// Imports the newest module in its folder "fill", and warns as it is compiled.
constexpr const char *kImportsNewestFill =
    "import importlib, os, sys\n\nFILL = os.path.join(os.path.dirname(__file__), 'fill')\n"
    "sys.path.insert(0, FILL)\nimportlib.import_module(max(os.listdir(FILL))[:-3])\n\n\n"
    "def DoubleValue(v):\n    return v * 2 if v is not 0 else 0\n";
const std::string kFill = "DATA = '" + std::string(3000, 'x') + "'\n";
const std::string kWrapsBuiltinsCompile = WrapsCompile("builtins");
const std::string kWrapsImportlibCompile = WrapsCompile("importlib._bootstrap_external");
constexpr const char *kTraceback =
    "PythonCode.py\", line 3, in DoubleValue\n    return values[v]\n";

INSTANTIATE_TEST_SUITE_P(
    Edits, ActionsOnModules,
    testing::Values(
        Actions{"an edit of the same size in the same second",
                {{"PythonCode.py", kDoubles, 10, ""}, {"PythonCode.py", kTriples, 15, ""}}},
        Actions{"a compile-time warning at the first action only, as with bytecode",
                {{"PythonCode.py", kWarnsAndDoubles, 10, "SyntaxWarning"},
                 {nullptr, "", 10, ""},
                 {"PythonCode.py", kWarnsAndTriples, 15, "SyntaxWarning"}}},
        Actions{"an edit into a syntax error and out again",
                {{"PythonCode.py", kDoubles, 10, ""},
                 {"PythonCode.py", kBroken, -1, "line 1\n    def DoubleValue(v)\n"},
                 {nullptr, "", -1, "SyntaxError", 1},
                 {"PythonCode.py", kQuadruples, 20, ""}}},
        Actions{"an edit of an imported module",
                {{"factor.py", "FACTOR = 2\n", -1, "No module named 'PythonCode'"},
                 {"PythonCode.py", kImportsFactor, 10, ""},
                 {"factor.py", "FACTOR = 3\n", 15, ""}}},
        Actions{"a traceback at a later action, and the same source in another folder",
                {{"a/PythonCode.py", kRaises, -1, kTraceback, -1, "a"},
                 {"b/PythonCode.py", kRaises, -1, "b/PythonCode.py", -1, "b"},
                 {nullptr, "", -1, kTraceback, 0, "a"}}},
        Actions{"optimization levels",
                {{"PythonCode.py", kAsserts, -1, "AssertionError: too small"},
                 {nullptr, "", 10, "", -1, "", "1"},
                 {nullptr, "", -1, "AssertionError: too small", 0}}},
        Actions{"a script's own compile at level 2 keeps its level, and the import's its own",
                {{"checked.py", kWarnsAndAsserts, -1, "No module named 'PythonCode'"},
                 {"PythonCode.py", kImportsChecked, -1, "AssertionError: too small"},
                 {"PythonCode.py", kCompilesCheckedAtLevelTwo, 10, "SyntaxWarning"},
                 {nullptr, "", 10, ""},
                 {"PythonCode.py", kImportsChecked, -1, "AssertionError: too small"}}},
        Actions{"a compile of the builtins' that a script replaced, then an action without it",
                {{"factor.py", "FACTOR = 2\n", -1, "No module named 'PythonCode'"},
                 {"PythonCode.py", kWrapsBuiltinsCompile.c_str(), 10000, ""},
                 {"PythonCode.py", kImportsFactor, 10, ""}}},
        Actions{"a compile of importlib's that a script set, then an action without it",
                {{"factor.py", "FACTOR = 2\n", -1, "No module named 'PythonCode'"},
                 {"PythonCode.py", kWrapsImportlibCompile.c_str(), 10000, ""},
                 {"PythonCode.py", kImportsFactor, 10, ""}}},
        Actions{"a wrapper of what importlib calls compile through, then an action without it",
                {{"factor.py", "FACTOR = 2\n", -1, "No module named 'PythonCode'"},
                 {"PythonCode.py", kWrapsFramesRemoved.c_str(), 10000, ""},
                 {"PythonCode.py", kImportsFactor, 10, ""}}},
        Actions{"other code for importlib's own source_to_code, then an action without it",
                {{"factor.py", "FACTOR = 2\n", -1, "No module named 'PythonCode'"},
                 {"PythonCode.py", kBendsOriginal.c_str(), 10000, ""},
                 {"PythonCode.py", kImportsFactor, 10, ""}}},
        Actions{"a module used at every action stays kept while modules used once make way",
                {{"fill/m1.py", kFill.c_str(), -1, "No module named 'PythonCode'"},
                 {"PythonCode.py", kImportsNewestFill, 10, "SyntaxWarning"},
                 {"fill/m2.py", kFill.c_str(), 10, ""},
                 {"fill/m3.py", kFill.c_str(), 10, ""}},
                10000},
        Actions{"the module's loader, bytecode path and file name",
                {{"PythonCode.py", kNames, 10, "SourceFileLoader "}, {nullptr, "", 10, "", 0}}}),
    RowName());

// What an action returns comes from the script's process: of a record of the source it read, the
// program's own compile keeps only the code that it makes itself.
TEST(ProgramsOwnCompile, KeepsOnlyTheCodeItMakes) {
  std::string read;
  AppendRecord(read, RecordKind::Read, {"/broken.py", 0, 0, kBroken, "planted"});
  AppendRecord(read, RecordKind::Read, {"/doubles.py", 0, 0, kDoubles, "planted"});
  FILE *file = std::tmpfile();
  std::fwrite(read.data(), 1, read.size(), file);
  std::fflush(file);
  ReturnedFile compiled;
  RunInChild(
      [file](std::string &returning) {
        CompileForLater(fileno(file), returning);
        return 0;
      },
      compiled);
  std::fclose(file);
  KeptCode kept;
  KeepCompiled(kept, compiled.descriptor);
  ASSERT_EQ(kept.modules.size(), 1U);
  EXPECT_EQ(kept.modules.front().path, "/doubles.py");
  EXPECT_NE(kept.modules.front().code, "planted");
}

struct Ending {
  const char *function;
  std::int32_t status;
  const char *errors = "^$";  // all of standard error, a regular expression
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
        KeptCode kept;
        CallScriptFunction(GetParam().function, GetParam().status, false, kept);
      },
      testing::ExitedWithCode(GetParam().status), GetParam().errors);
}

INSTANTIATE_TEST_SUITE_P(Exits, ScriptEndsTheProgramDeathTest,
                         testing::Values(Ending{"Exits", 3}, Ending{"HardExit", 4},
                                         Ending{"ForkedCopyReturns", 5}, Ending{"ExitsWithNone", 0},
                                         Ending{"ExitsWithText", 1, "^bye 1\n$"}));

// Leaves no descriptor free for an action's way back.
void UseUpDescriptors() {
  // UBSan checks a stream's type once, and needs a descriptor for that: the streams the program
  // uses, checked first.
  std::cout.flush();
  static_cast<void>(std::cerr.widen('\n'));
  const rlimit few{64, 64};
  setrlimit(RLIMIT_NOFILE, &few);
  while (open("/dev/null", O_RDONLY) != -1) {
  }
}

// Makes sigwait fail with EINVAL in this process and its children, as seccomp filters can; false
// where that cannot be set (under qemu-user).
bool FailSigwait() {
  std::vector<sock_filter> filter = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
  for (const long call : {
           SYS_rt_sigtimedwait,
#ifdef SYS_rt_sigtimedwait_time64
           SYS_rt_sigtimedwait_time64,
#endif
       }) {
    filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(call), 0, 1));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL));
  }
  filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Whether `prepare` can be done here, tried in a process of its own.
bool CanDo(const std::function<bool()> &prepare) {
  const pid_t trial = fork();
  if (trial == 0) {
    _exit(prepare() ? 0 : 1);
  }
  int status = 0;
  return waitpid(trial, &status, 0) == trial && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// How the program fails to run an action's child.
struct Unrunnable {
  const char *name;
  std::function<bool()> prepare;  // in the program; false where it cannot be done
  const char *report;             // what the program says, a regular expression
};

void PrintTo(const Unrunnable &row, std::ostream *out) {
  *out << row.name;
}

class UnrunnableChildDeathTest : public testing::TestWithParam<Unrunnable> {};

TEST_P(UnrunnableChildDeathTest, IsReportedAndGivesMinusOne) {
  if (!CanDo(GetParam().prepare)) {
    GTEST_SKIP() << "this system cannot set up \"" << GetParam().name << "\"";
  }
  setenv("PYTHONPATH", FIXTURES_DIR "/functions", 1);
  EXPECT_EXIT(
      {
        GetParam().prepare();
        KeptCode kept;
        // Without the test's exit handlers, which UBSan would check without a descriptor.
        _exit(CallScriptFunction("DoubleValue", 3, false, kept) == -1 ? 0 : 1);
      },
      testing::ExitedWithCode(0), GetParam().report);
}

INSTANTIATE_TEST_SUITE_P(
    Unrunnable, UnrunnableChildDeathTest,
    testing::Values(
        Unrunnable{"no descriptor left", [] { return UseUpDescriptors(), true; },
                   "^script-menu: cannot start the script's interpreter: Too many open files\n$"},
        Unrunnable{"sigwait failing", FailSigwait,
                   "^script-menu: cannot wait for the script's interpreter: Invalid argument\n$"}),
    RowName());

}  // namespace
