// The argument service and the executable path in real processes: probes
// started with chosen vectors, from chosen places, with and without /proc.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/build_paths.h"
#include "support/program.h"

namespace {

namespace fs = std::filesystem;

const std::string kArgumentProbe = std::string(TestProbeDir) + "/argument_probe";
const std::string kExePathProbe = std::string(TestProbeDir) + "/exe_path_probe";

// The NUL-terminated fields of a probe's output.
std::vector<std::string> Fields(const std::string& bytes) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1)
    fields.push_back(bytes.substr(start, end - start));
  return fields;
}

// Count line and arguments of argument_probe.
struct SeenArguments {
  long long count = -2;
  std::vector<std::string> arguments;
};

SeenArguments ParseArgumentProbe(const std::string& out) {
  SeenArguments seen;
  const size_t lineEnd = out.find('\n');
  if (lineEnd == std::string::npos) return seen;
  seen.count = std::atoll(out.substr(0, lineEnd).c_str());
  seen.arguments = Fields(out.substr(lineEnd + 1));
  return seen;
}

TEST(ArgumentsBinary, HandsOutTheArgumentsAsTheProcessReceivedThem) {
  std::string allHigh;
  for (int b = 0x80; b <= 0xFF; ++b) allHigh += static_cast<char>(b);
  const std::vector<std::vector<std::string>> vectors = {
      {},
      {""},
      {"", "x"},
      {"a", "b", "c", "d"},
      {allHigh},
      {"caf\xE9", "\xA4", "\xC3\xA9", " lead", "trail ", "new\nline"},
      {"-h", "-v", "--", "--display"},  // no toolkit here: nothing is removed
  };
  for (const auto& arguments : vectors) {
    SCOPED_TRACE(arguments.size());
    ProcessOptions options;
    options.args = {kArgumentProbe};
    options.args.insert(options.args.end(), arguments.begin(), arguments.end());
    const ProcessResult result = RunProcess(options);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const SeenArguments seen = ParseArgumentProbe(result.out);
    EXPECT_EQ(seen.count, static_cast<long long>(arguments.size()));
    EXPECT_EQ(seen.arguments, arguments);
  }
}

TEST(ArgumentsBinary, ToolkitOptionsAreTakenOnlyBeforeTheFirstOtherArgument) {
  if (!RequireDisplay()) return;
  const char* display = Display();
  const std::vector<std::string> plain = {"first", "-v", "\xE9"};
  // From the first other argument on, options of the toolkit are arguments too.
  const std::vector<std::string> lookalikes = {"T", "--sync", "--name=x", "--display", display};
  struct OptionCase {
    std::vector<std::string> options;
    std::vector<std::string> arguments;
    std::string refused = "";  // the toolkit then takes none of the options
  };
#ifdef STASHWICK_TOOLKIT_GTK3
  // GTK 3's one flag; --sync and --screen are no options of it.
  const std::string flag = "--g-fatal-warnings";
#else
  const std::string flag = "--sync";
#endif
  std::vector<OptionCase> cases = {
      {{"--display", display}, plain},
      {{std::string("--display=") + display}, plain},
      {{"--name", "other"}, plain},
      {{"--class", "Other"}, plain},
      {{flag}, plain},
      {{"--display", display, "--name", "other", flag}, plain},
      {{flag}, lookalikes},
      {{"--name", "n"}, {"--namex", "--sync"}},
      // A "--" that ends the options goes, whatever follows; a later one stays.
      {{"--"}, {}},
      {{flag, "--"}, {"-h", "--"}},
      // Debug options of a debug build are arguments here, and so is what follows.
      {{}, {"--gtk-debug", std::string("--gtk-module=") + TestMarkerModule}},
      // No text in the locale, a missing value.
      {{"--name", "\xFF"}, plain, "--name \xFF"},
      {{flag, "--name"}, {}, flag + " --name"},
  };
#ifdef STASHWICK_TOOLKIT_GTK3
  cases.push_back({{}, {"--sync", "--screen=1", "T"}});
#else
  // A flag with a value is the flag, whatever the value; a value out of range.
  cases.push_back({{"--sync=1", "--sync=", "--g-fatal-warnings=no"}, plain});
  cases.push_back({{"--sync", "--screen=99999999999"}, plain, "--sync --screen=99999999999"});
#endif
  ScratchDir scratch;
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases.data());
    ProcessOptions options;
    options.args = {kArgumentProbe};
    options.args.insert(options.args.end(), c.options.begin(), c.options.end());
    options.args.insert(options.args.end(), c.arguments.begin(), c.arguments.end());
    options.env = PrivateDesktopEnv(scratch);
    options.env.emplace_back("STASHWICK_PROBE_TOOLKIT", "1");
    options.timeoutSeconds = 60;
    const ProcessResult result = RunProcess(options);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, c.refused.empty() ? "" : c.refused + "\n");
    if (!c.refused.empty()) continue;
    const SeenArguments seen = ParseArgumentProbe(result.out);
    EXPECT_EQ(seen.count, static_cast<long long>(c.arguments.size()));
    EXPECT_EQ(seen.arguments, c.arguments);
  }
}

// Output of exe_path_probe: path, file name, file name without extension.
std::vector<std::string> RunExePathProbe(const ProcessOptions& options) {
  const ProcessResult result = RunProcess(options);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  std::vector<std::string> fields = Fields(result.out);
  EXPECT_EQ(fields.size(), 3u) << result.out;
  fields.resize(3);
  return fields;
}

std::string CopyProbe(const std::string& to) {
  fs::copy_file(kExePathProbe, to, fs::copy_options::overwrite_existing);
  chmod(to.c_str(), 0755);
  return to;
}

TEST(ArgumentsBinary, ExecutablePathOfTheProgramFileItself) {
  ScratchDir scratch;
  const std::string base = fs::canonical(scratch.path()).string();
  fs::create_directories(base + "/sub dir");
  const std::string linked = CopyProbe(base + "/target.tool.bin");
  fs::create_symlink(linked, base + "/link-name");
  fs::create_symlink(base + "/link-name", base + "/sub dir/second link");
  const std::string spaced = CopyProbe(base + "/sub dir/my tool.x");
  struct PathCase {
    std::string startedAs;
    std::string path;
    std::string name;
    std::string stem;
  };
  const PathCase cases[] = {
      {kExePathProbe, fs::canonical(kExePathProbe).string(), "exe_path_probe", "exe_path_probe"},
      {base + "/link-name", linked, "target.tool.bin", "target.tool"},
      {base + "/sub dir/second link", linked, "target.tool.bin", "target.tool"},
      {base + "/sub dir/../link-name", linked, "target.tool.bin", "target.tool"},
      {spaced, spaced, "my tool.x", "my tool"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.startedAs);
    ProcessOptions options;
    options.args = {c.startedAs};
    EXPECT_EQ(RunExePathProbe(options), (std::vector<std::string>{c.path, c.name, c.stem}));
  }
}

TEST(ArgumentsBinary, ExecutablePathIsDecodedFromUtf8) {
  ScratchDir scratch;
  const std::string base = fs::canonical(scratch.path()).string();
  fs::create_directories(base + "/d\xC3\xA9j\xC3\xA0");
  const std::string program = CopyProbe(base + "/d\xC3\xA9j\xC3\xA0/caf\xC3\xA9.\xE2\x82\xAC");
  ProcessOptions options;
  options.args = {program};
  EXPECT_EQ(RunExePathProbe(options),
            (std::vector<std::string>{base + "/d\xE9j\xE0/caf\xE9.?", "caf\xE9.?", "caf\xE9"}));
}

// A path of exactly `length` bytes: nested directories below base, and a
// file name that makes up the rest.
std::string PathOfLength(const std::string& base, size_t length) {
  std::string path = base;
  size_t level = 0;
  while (length - path.size() > 120) {
    const std::string component = "/" + std::string(90, static_cast<char>('a' + level++ % 26));
    path += component;
  }
  fs::create_directories(path);
  const size_t rest = length - path.size() - 1;
  return path + "/" + std::string(rest - 1, 'p') + "x";
}

TEST(ArgumentsBinary, ExecutablePathOfEveryLengthAroundTheReadLimitsComesBackWhole) {
  ScratchDir scratch;
  const std::string base = fs::canonical(scratch.path()).string();
  ASSERT_LT(base.size(), 200u);
  const size_t lengths[] = {254, 255, 256, 510, 511, 512, 766, 767, 768, 1023, 1024, 2000};
  for (size_t length : lengths) {
    SCOPED_TRACE(length);
    const std::string program = CopyProbe(PathOfLength(base, length));
    ASSERT_EQ(program.size(), length);
    // Started through a short link, so that a fallback to the name it was
    // started under cannot pass for the real path.
    const std::string link = base + "/short";
    fs::remove(link);
    fs::create_symlink(program, link);
    ProcessOptions options;
    options.args = {link};
    const std::vector<std::string> fields = RunExePathProbe(options);
    EXPECT_EQ(fields[0], program);
    EXPECT_EQ(fields[1], program.substr(program.rfind('/') + 1));
    fs::remove(program);
  }
}

// Runs argv through bash in a private mount namespace with an empty /proc.
ProcessResult RunWithoutProc(const std::string& startedAs, const std::string& program) {
  ProcessOptions options;
  options.args = {"/usr/bin/unshare", "-m", "/bin/bash", "-c",
                  "mount -t tmpfs none /proc || exit 90; cd \"$(dirname \"$2\")\" && exec -a \"$1\" \"$2\"",
                  "bash", startedAs, program};
  return RunProcess(options);
}

TEST(ArgumentsBinary, WithoutProcTheNameTheProgramWasStartedUnderServes) {
  if (access("/usr/bin/unshare", X_OK) != 0 || access("/bin/bash", X_OK) != 0)
    GTEST_SKIP() << "needs unshare and bash";
  const ProcessResult trial = RunWithoutProc("./exe_path_probe", kExePathProbe);
  if (trial.exitCode != 0) GTEST_SKIP() << "cannot hide /proc here: " << trial.err;

  struct FallbackCase {
    std::string startedAs;
    std::string path;
    std::string name;
    std::string stem;
  };
  const FallbackCase cases[] = {
      {"./exe_path_probe", "./exe_path_probe", "exe_path_probe", "exe_path_probe"},
      {"./tool", "./tool", "tool", "tool"},
      {"bin/tool.sh", "bin/tool.sh", "tool.sh", "tool"},
      {"\"/opt/my app/run.x\"", "\"/opt/my app/run.x\"", "run.x", "run"},
      {"./caf\xC3\xA9", "./caf\xE9", "caf\xE9", "caf\xE9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.startedAs);
    const ProcessResult result = RunWithoutProc(c.startedAs, kExePathProbe);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(Fields(result.out), (std::vector<std::string>{c.path, c.name, c.stem}));
  }
}

}  // namespace
