// The real program under valgrind memcheck: no memory error and no leak of
// its own, for an accepted dialog, a cancelled one, a closed one and the help
// screen. The toolkit's own blocks are suppressed by gtk.supp; a probe that
// leaks through the program's services shows that ours are not.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "support/program.h"

namespace {

// The exit status valgrind takes when it found an error or a counted leak.
constexpr int MemcheckErrorStatus = 97;

struct MemcheckRun {
  ProcessResult process;
  std::string log;
};

// Skips when memcheck cannot run here; without a display, see RequireDisplay.
void RequireMemcheck() {
  if (STASHWICK_SANITIZED) GTEST_SKIP() << "sanitizer build: valgrind cannot run ASan binaries";
  if (access(STASHWICK_VALGRIND, X_OK) != 0)
    GTEST_SKIP() << "valgrind is not installed: memcheck runs skipped";
  RequireDisplay();
}

MemcheckRun RunUnderMemcheck(const ScratchDir& scratch, const std::vector<std::string>& command,
                             const std::string& answer) {
  const std::string log = scratch / "memcheck.log";
  std::vector<std::string> arguments = {
      "--tool=memcheck",
      "--error-exitcode=" + std::to_string(MemcheckErrorStatus),
      "--leak-check=full",
      "--show-leak-kinds=definite,indirect",
      "--errors-for-leak-kinds=definite,indirect",
      "--suppressions=" STASHWICK_VALGRIND_SUPPRESSIONS,
      // The toolkit's stacks run deep: whole stacks reach the anchors.
      "--num-callers=500",
      "--log-file=" + log};
  arguments.insert(arguments.end(), command.begin(), command.end());
  ProcessOptions options = AnsweredRun(scratch, arguments, answer, STASHWICK_VALGRIND);
  // GLib's slice allocator and its recycled memory would hide blocks from memcheck.
  options.env.emplace_back("G_SLICE", "always-malloc");
  options.env.emplace_back("G_DEBUG", "gc-friendly");
  options.timeoutSeconds = 240;
  MemcheckRun run{RunProcess(options), ""};
  run.log = ReadFile(log);
  EXPECT_FALSE(run.process.timedOut);
  EXPECT_EQ(run.process.signal, 0);
  // The module had to step in: a message dialog, or an accept that did nothing.
  EXPECT_EQ(run.process.err.find("stashwick-answer:"), std::string::npos) << run.process.err;
  return run;
}

// The loss records of a memcheck log, each with its stack.
std::vector<std::string> LossRecords(const std::string& log) {
  std::vector<std::string> records;
  std::istringstream lines(log);
  bool inRecord = false;
  for (std::string line; std::getline(lines, line);) {
    const size_t prefix = line.find("== ");
    const std::string body = prefix == std::string::npos ? line : line.substr(prefix + 3);
    if (body.find("lost in loss record") != std::string::npos) {
      records.push_back(body + "\n");
      inRecord = true;
    } else if (inRecord && !body.empty()) {
      records.back() += body + "\n";
    } else {
      inRecord = false;
    }
  }
  return records;
}

struct ProgramCase {
  const char* name;
  std::vector<std::string> arguments;  // "@" stands for the scratch folder
  const char* answer;
  bool printsPath;  // the path of argument 1, else: nothing for a dialog, a screen for -h
};

void PrintTo(const ProgramCase& c, std::ostream* os) { *os << c.name; }

class Memcheck : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(Memcheck, ProgramRunHasNoErrorAndLeaksNothingOfItsOwn) {
  RequireMemcheck();
  if (IsSkipped() || HasFatalFailure()) return;
  const ProgramCase& c = GetParam();
  ScratchDir scratch;
  std::vector<std::string> command = {TestProgram};
  for (const std::string& argument : c.arguments)
    command.push_back(argument.rfind("@", 0) == 0 ? scratch.path() + argument.substr(1) : argument);

  const MemcheckRun run = RunUnderMemcheck(scratch, command, c.answer);
  EXPECT_EQ(run.process.exitCode, 0) << run.log;
  EXPECT_NE(run.log.find("ERROR SUMMARY: 0 errors"), std::string::npos) << run.log;
  EXPECT_TRUE(LossRecords(run.log).empty()) << run.log;
  if (c.printsPath) {
    EXPECT_EQ(run.process.out, command[2]);
  } else if (c.arguments[0] == "-h") {
    EXPECT_FALSE(run.process.out.empty());
  } else {
    EXPECT_EQ(run.process.out, "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, Memcheck,
    ::testing::Values(
        ProgramCase{"accepted", {"Save As", "@/notes.txt", "Text (*.txt)|*.txt|All (*.*)|*.*", "1"},
                    "accept", true},
        ProgramCase{"accepted_8bit", {"Caf\xE9", "@/r\xE9sum\xE9.txt", "A|*"}, "accept", true},
        ProgramCase{"cancelled", {"Save As", "@/notes.txt", "Text (*.txt)|*.txt", "0"}, "cancel", false},
        ProgramCase{"closed", {"Save As", "@/missing/notes.txt"}, "close", false},
        ProgramCase{"help", {"-h"}, "none", false}),
    [](const ::testing::TestParamInfo<ProgramCase>& param) { return param.param.name; });

TEST(MemcheckSuppressions, LeaveTheProgramsOwnLeaksVisible) {
  RequireMemcheck();
  if (IsSkipped() || HasFatalFailure()) return;
  ScratchDir scratch;
  const MemcheckRun run =
      RunUnderMemcheck(scratch, {STASHWICK_LEAK_PROBE, scratch / "probe.txt"}, "accept");
  // The dialog ran to its end under the suppressions...
  EXPECT_EQ(run.process.out, scratch / "probe.txt");
  // ...and the two lost blocks, and nothing else, count as errors.
  EXPECT_EQ(run.process.exitCode, MemcheckErrorStatus) << run.log;
  const std::vector<std::string> records = LossRecords(run.log);
  bool convertedText = false, filter = false;
  for (const std::string& record : records) {
    SCOPED_TRACE(record);
    EXPECT_NE(record.find("leak_probe.cpp"), std::string::npos) << "a toolkit leak got through";
    convertedText |= record.find("ToToolkitText") != std::string::npos;
    // gtk_file_filter_new reaches g_object_new by a tail call: its own frame is gone.
    filter |= record.find("g_object_new") != std::string::npos;
  }
  EXPECT_TRUE(convertedText) << run.log;
  EXPECT_TRUE(filter) << run.log;
}

}  // namespace
