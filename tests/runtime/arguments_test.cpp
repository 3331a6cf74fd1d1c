#include "runtime/arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Points QV_ArgC/QV_ArgV at an owned vector for one test and runs the start-up.
class ArgumentsTest : public ::testing::Test {
 protected:
  // entries[0] is the program name; nullopt-like missing entries are nullptr.
  void Use(std::vector<const char*> entries, int32_t count) {
    storage_.clear();
    for (const char* e : entries) storage_.push_back(e ? std::string(e) : std::string());
    vector_.clear();
    for (size_t i = 0; i < entries.size(); ++i)
      vector_.push_back(entries[i] ? storage_[i].data() : nullptr);
    vector_.push_back(nullptr);
    QV_ArgC = count;
    QV_ArgV = vector_.data();
    ArgumentStartup();
  }
  void Use(std::vector<const char*> entries) {
    const auto count = static_cast<int32_t>(entries.size());
    Use(std::move(entries), count);
  }
  void TearDown() override {
    QV_ArgC = 0;
    QV_ArgV = nullptr;
  }

 private:
  std::vector<std::string> storage_;
  std::vector<char*> vector_;
};

struct AtCase {
  int32_t index;
  const char* expected;
};

TEST_F(ArgumentsTest, CountsUserArgumentsAndHandsThemOutByPosition) {
  Use({"prog", "a", "b", "c", "d"});
  EXPECT_EQ(ArgumentCount(), 4);
  const AtCase cases[] = {{0, "a"}, {1, "b"}, {2, "c"}, {3, "d"}, {4, ""},
                          {5, ""},  {-1, ""}, {INT32_MAX, ""}, {INT32_MIN, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    EXPECT_EQ(ArgumentAt(c.index), c.expected);
  }
}

TEST_F(ArgumentsTest, CountsEmptyArgumentsAndNothingBeyondTheVector) {
  struct VectorCase {
    std::vector<const char*> entries;
    int64_t count;
    std::vector<std::string> arguments;
  };
  const VectorCase cases[] = {
      {{"prog"}, 0, {}},
      {{"prog", "", "x"}, 2, {"", "x"}},
      {{"prog", "", "", ""}, 3, {"", "", ""}},
      {{"prog", "-h"}, 1, {"-h"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entries.size());
    Use(c.entries);
    ASSERT_EQ(ArgumentCount(), c.count);
    for (size_t i = 0; i < c.arguments.size(); ++i) EXPECT_EQ(ArgumentAt(static_cast<int32_t>(i)), c.arguments[i]);
    EXPECT_EQ(ArgumentAt(static_cast<int32_t>(c.count)), "");
  }
}

TEST_F(ArgumentsTest, EmptyVectorCountsMinusOneAndYieldsNothing) {
  Use({}, 0);
  EXPECT_EQ(ArgumentCount(), -1);
  for (int32_t index : {-2, -1, 0, 1, 2}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(ArgumentAt(index), "");
  }
  EXPECT_EQ(NextArgument(), "");
  EXPECT_EQ(NextArgument(), "");
}

TEST_F(ArgumentsTest, MissingVectorYieldsNothing) {
  QV_ArgC = 3;
  QV_ArgV = nullptr;
  ArgumentStartup();
  EXPECT_EQ(ArgumentCount(), 2);
  EXPECT_EQ(ArgumentAt(0), "");
  EXPECT_EQ(ArgumentAt(1), "");
  EXPECT_EQ(NextArgument(), "");
}

TEST_F(ArgumentsTest, EntriesBeyondTheCountAreNeverSeen) {
  // The toolkit lowers the count; what stays behind it is not an argument.
  Use({"prog", "a", "b", "stale", "older"}, 3);
  EXPECT_EQ(ArgumentCount(), 2);
  EXPECT_EQ(ArgumentAt(2), "");
  EXPECT_EQ(ArgumentAt(3), "");
  EXPECT_EQ(ArgumentAt(1), "b");
  EXPECT_EQ(NextArgument(), "");
  EXPECT_EQ(NextArgument(), "");
  EXPECT_EQ(NextArgument(), "");
}

TEST_F(ArgumentsTest, MissingEntryReadsAsEmptyAndStillBecomesCurrent) {
  Use({"prog", "a", nullptr, "c"});
  EXPECT_EQ(ArgumentCount(), 3);
  EXPECT_EQ(ArgumentAt(1), "");
  EXPECT_EQ(NextArgument(), "c");
  EXPECT_EQ(ArgumentAt(0), "a");
  EXPECT_EQ(NextArgument(), "");  // the missing entry
  EXPECT_EQ(NextArgument(), "c");
}

TEST_F(ArgumentsTest, KeepsEveryHighByteAsGiven) {
  std::string high;
  for (int b = 0x80; b <= 0xFF; ++b) high += static_cast<char>(b);
  const std::string mixed = "caf\xE9 \xA4 \xC3\xA9 \xFF\xFE";
  Use({"prog", high.c_str(), mixed.c_str(), "\xE9"});
  const std::string expected[] = {high, mixed, "\xE9"};
  for (int32_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(ArgumentAt(i), expected[i]);
  }
  EXPECT_EQ(ArgumentAt(0).size(), 128u);
}

// One step of a walk through the arguments: an ArgumentAt(index) or, with
// next set, a NextArgument, and what it yields.
struct Step {
  bool next;
  int32_t index;
  const char* expected;
};

TEST_F(ArgumentsTest, NextArgumentFollowsTheArgumentAskedForLast) {
  struct Walk {
    const char* name;
    std::vector<Step> steps;
  };
  const Walk walks[] = {
      {"right after start-up", {{true, 0, "a"}, {true, 0, "b"}, {true, 0, "c"}}},
      {"after ArgumentAt(1)", {{false, 1, "b"}, {true, 0, "c"}}},
      {"after ArgumentAt(0)", {{false, 0, "a"}, {true, 0, "b"}}},
      {"out of range does not move",
       {{false, 1, "b"}, {false, 3, ""}, {false, -1, ""}, {false, INT32_MAX, ""}, {true, 0, "c"}}},
      {"out of range right after start-up", {{false, 7, ""}, {true, 0, "a"}}},
      {"past the end keeps yielding nothing",
       {{false, 2, "c"}, {true, 0, ""}, {true, 0, ""}, {true, 0, ""}, {false, 0, "a"}, {true, 0, "b"}}},
      {"walk back", {{true, 0, "a"}, {true, 0, "b"}, {false, 0, "a"}, {true, 0, "b"}}},
  };
  for (const auto& walk : walks) {
    SCOPED_TRACE(walk.name);
    Use({"prog", "a", "b", "c"});
    for (size_t i = 0; i < walk.steps.size(); ++i) {
      const Step& s = walk.steps[i];
      SCOPED_TRACE(i);
      EXPECT_EQ(s.next ? NextArgument() : ArgumentAt(s.index), s.expected);
    }
  }
}

TEST_F(ArgumentsTest, NextArgumentKeepsCountingWithoutOverflow) {
  Use({"prog", "a"});
  QV_Process_Globals.CurrentIndex = INT32_MAX - 1;
  EXPECT_EQ(NextArgument(), "");
  EXPECT_EQ(NextArgument(), "");  // wraps to a negative index: still nothing
  EXPECT_EQ(NextArgument(), "");
}

struct NameCase {
  const char* path;  // nullptr: a missing path
  const char* whole;
  const char* withoutExtension;
};

TEST(ArgumentsPathFileName, TakesTheNameAfterTheLastSlashAndQuotes) {
  const NameCase cases[] = {
      {"/usr/local/bin/tool", "tool", "tool"},
      {"tool", "tool", "tool"},
      {"/usr/bin/", "", ""},
      {"", "", ""},
      {nullptr, "", ""},
      {"\"/opt/my app/run\"", "run", "run"},
      {"\"name\"", "name", "name"},
      {"dir/na\"me", "na", "na"},
      {"a\"b/c", "c", "c"},
      {"/tmp/\"x\"", "", ""},
      {"\"/d/f.txt\"", "f.txt", "f"},
      {"C:\\dir\\file.txt", "C:\\dir\\file.txt", "C:\\dir\\file"},
      {"/home/u/report.final.txt", "report.final.txt", "report.final"},
      {"/home/u/.profile", ".profile", ".profile"},
      {"/home/u/name.", "name.", "name."},
      {"/home/u/my file.txt", "my file.txt", "my file"},
      {"/home/u/file.tar gz", "file.tar gz", "file.tar gz"},
      {"x.y", "x.y", "x"},
      // Further edges.
      {"a.b c.d", "a.b c.d", "a.b c"},
      {"a b.c d", "a b.c d", "a b.c d"},
      {".", ".", "."},
      {"/dir/.", ".", "."},
      {"..", "..", ".."},
      {"a..", "a..", "a.."},
      {"a..b", "a..b", "a."},
      {"..b", "..b", "."},
      {"/", "", ""},
      {"\"", "", ""},
      {"\"\"", "", ""},
      {"/dir/file.txt\"", "file.txt", "file"},
      {"/dir/file\".txt", "file", "file"},
      {"x\"", "x", "x"},
      {"x\"/", "", ""},
      {"/a/b/c.d/e", "e", "e"},
      {"/a/b/c.d/e.f", "e.f", "e"},
      {"ab", "ab", "ab"},
      {"a.", "a.", "a."},
      {"a. ", "a. ", "a. "},
      {".a", ".a", ".a"},
      {" .a", " .a", " "},
      {"f.\xE9\xFF", "f.\xE9\xFF", "f"},
      {"\xE9.\xE9", "\xE9.\xE9", "\xE9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path ? c.path : "(missing)");
    EXPECT_EQ(PathFileName(c.path, 0), c.whole);
    EXPECT_EQ(PathFileName(c.path, 1), c.withoutExtension);
  }
}

TEST(ArgumentsPathFileName, OnlyBitZeroOfTheModeCounts) {
  const char* path = "/home/u/report.final.txt";
  struct ModeCase {
    int mode;
    const char* expected;
  };
  const ModeCase cases[] = {{0, "report.final.txt"}, {1, "report.final"}, {2, "report.final.txt"},
                            {3, "report.final"},     {-1, "report.final"}, {-2, "report.final.txt"},
                            {0x100, "report.final.txt"}, {INT32_MIN, "report.final.txt"},
                            {INT32_MAX, "report.final"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    EXPECT_EQ(PathFileName(path, c.mode), c.expected);
  }
}

}  // namespace
