// The real GTK+ 2 chooser dialog, driven from inside the test process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <optional>
#include <set>

#include "chooser/file_chooser.h"
#include "chooser/toolkit_owners.h"
#include "runtime/text_decoding.h"
#include "runtime/arguments.h"
#include "support/chooser_driver.h"
#include "support/process.h"

namespace {

enum class Close { Cancel, Delete, Accept };

const char* const TwoFilters = "*.* (*.*)|*.*|BAT (*.bat)|*.bat";

class FileChooserGui : public ::testing::Test {
 protected:
  void SetUp() override {
    StartToolkitPrivately(scratch_);
    std::filesystem::create_directories(scratch_ / "cwd/sub");
    // With one entry only, the name entry completes an empty name to "sub/"
    // once the folder has loaded; with two that share no prefix it stays empty.
    std::filesystem::create_directories(scratch_ / "cwd/another");
    std::filesystem::create_directories(scratch_ / "sub");
    ASSERT_EQ(chdir((scratch_ / "cwd").c_str()), 0);
    GText cwd(g_get_current_dir());
    cwd_ = cwd.get();
  }
  void TearDown() override { EXPECT_EQ(chdir("/"), 0); }

  // Waits for the dialog's folder, which the toolkit sets some time after mapping.
  static void ExpectFolder(GtkWidget* dialog, const std::string& folder) {
    EXPECT_TRUE(PumpUntil([&] { return CurrentFolder(dialog) == folder; }))
        << "current folder " << CurrentFolder(dialog) << ", expected " << folder;
  }

  static void CloseBy(GtkWidget* dialog, Close how) {
    switch (how) {
      case Close::Cancel:
        EXPECT_TRUE(ClickResponseButton(dialog, GTK_RESPONSE_CANCEL));
        break;
      case Close::Delete:
        SendDeleteEvent(dialog);
        break;
      case Close::Accept:
        EXPECT_TRUE(ClickResponseButton(dialog, GTK_RESPONSE_ACCEPT));
        break;
    }
  }

  ScratchDir scratch_;
  std::string cwd_;
};

TEST(FileChooserState, ReportsNothingBeforeAnyDialog) {
  EXPECT_EQ(ChosenFilterIndex(), 0);
  EXPECT_EQ(NextChosenPath(), "");
  EXPECT_EQ(NextChosenPath(), "");
  EXPECT_EQ(ChosenFilterIndex(), 0);
}

struct ModeCase {
  bool save;
  int32_t flags;
  GtkFileChooserAction action;
  const char* acceptStock;
  bool multiple;
};

TEST_F(FileChooserGui, ShowsTitleActionAndButtonsOfEachMode) {
  const ModeCase cases[] = {
      {true, 0, GTK_FILE_CHOOSER_ACTION_SAVE, "gtk-save", false},
      {false, 0, GTK_FILE_CHOOSER_ACTION_OPEN, "gtk-open", false},
      {false, AllowMultiple, GTK_FILE_CHOOSER_ACTION_OPEN, "gtk-open", true},
      {false, 2, GTK_FILE_CHOOSER_ACTION_OPEN, "gtk-open", false},
      {false, -1, GTK_FILE_CHOOSER_ACTION_OPEN, "gtk-open", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.acceptStock) + " flags " + std::to_string(c.flags));
    const std::string result = RunAnswered(
        [&] {
          const char* title = "Caf\xE9 \xA4 | Save";
          if (c.save) return SaveFileChooser(title, "", TwoFilters, 0);
          if (c.flags == 0) return OpenFileChooser(title, "", TwoFilters, 0);
          return OpenFileChooser(title, "", TwoFilters, 0, c.flags);
        },
        [&](GtkWidget* dialog) {
          EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(dialog)), "Caf\xC3\xA9 \xE2\x82\xAC | Save");
          EXPECT_EQ(gtk_file_chooser_get_action(GTK_FILE_CHOOSER(dialog)), c.action);
          EXPECT_EQ(gtk_file_chooser_get_select_multiple(GTK_FILE_CHOOSER(dialog)) != FALSE, c.multiple);
          EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(dialog)));
          EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(dialog)), nullptr);
          const auto buttons = ActionButtons(dialog);
          ASSERT_EQ(buttons.size(), 2u);
          EXPECT_EQ(buttons[0].label, "gtk-cancel");
          EXPECT_TRUE(buttons[0].useStock);
          EXPECT_EQ(buttons[0].response, GTK_RESPONSE_CANCEL);
          EXPECT_FALSE(buttons[0].isDefault);
          EXPECT_EQ(buttons[1].label, c.acceptStock);
          EXPECT_TRUE(buttons[1].useStock);
          EXPECT_EQ(buttons[1].response, GTK_RESPONSE_ACCEPT);
          EXPECT_TRUE(buttons[1].isDefault);
          CloseBy(dialog, Close::Cancel);
        });
    EXPECT_EQ(result, "");
    EXPECT_EQ(NextChosenPath(), "");
  }
}

TEST_F(FileChooserGui, MissingTextsCountAsEmpty) {
  for (bool save : {true, false}) {
    SCOPED_TRACE(save ? "save" : "open");
    const std::string result = RunAnswered(
        [&] {
          return save ? SaveFileChooser(nullptr, nullptr, nullptr, 0)
                      : OpenFileChooser(nullptr, nullptr, nullptr, 0, 0);
        },
        [&](GtkWidget* dialog) {
          EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(dialog)), "");
          EXPECT_TRUE(ChooserFilters(dialog).empty());
          ExpectFolder(dialog, cwd_);
          if (save) {
            EXPECT_EQ(NameEntryText(dialog), "");
          }
          CloseBy(dialog, Close::Cancel);
        });
    EXPECT_EQ(result, "");
    EXPECT_EQ(ChosenFilterIndex(), 0);
  }
}

TEST_F(FileChooserGui, ActivatingTheDefaultAcceptsTheProposedName) {
  const std::string path = scratch_ / "sub/proposed.txt";
  const std::string result = RunAnswered([&] { return SaveFileChooser("Save", path.c_str(), "", 0); },
                                         [&](GtkWidget* dialog) {
                                           ExpectFolder(dialog, scratch_ / "sub");
                                           EXPECT_EQ(NameEntryText(dialog), "proposed.txt");
                                           EXPECT_TRUE(gtk_window_activate_default(GTK_WINDOW(dialog)));
                                         });
  EXPECT_EQ(result, path);
  EXPECT_EQ(NextChosenPath(), "");
}

struct DefaultFileCase {
  std::string defaultFile;  // program text
  std::string folder;       // expected current folder
  std::string proposed;     // expected name entry (UTF-8)
  std::string typed;        // typed into the name entry before Save, unless empty
  std::string result;       // program text
};

TEST_F(FileChooserGui, SaveDialogStartsWhereTheDefaultFileSays) {
  const std::string sub = scratch_ / "sub";
  const DefaultFileCase cases[] = {
      // With none, the working folder: a typed name is saved there.
      {"", cwd_, "", "typed.txt", cwd_ + "/typed.txt"},
      {sub + "/", sub, "", "in-sub.txt", sub + "/in-sub.txt"},
      {"Default.txt", cwd_, "Default.txt", "", cwd_ + "/Default.txt"},
      {"sub/relative.txt", cwd_ + "/sub", "relative.txt", "", cwd_ + "/sub/relative.txt"},
      {sub + "/inner.txt", sub, "inner.txt", "", sub + "/inner.txt"},
      {sub + "/inner.txt", sub, "inner.txt", "other.txt", sub + "/other.txt"},
      // Program text is ISO-8859-15 on the way in and code points up to 0xFF on the way out.
      {sub + "/caf\xE9.txt", sub, "caf\xC3\xA9.txt", "", sub + "/caf\xE9.txt"},
      {sub + "/\xA4\xBD.txt", sub, "\xE2\x82\xAC\xC5\x93.txt", "", sub + "/??.txt"},
      {"", cwd_, "", "na\xC3\xAFve \xC5\x93.txt", cwd_ + "/na\xEFve ?.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("default file \"" + c.defaultFile + "\"");
    const std::string result =
        RunAnswered([&] { return SaveFileChooser("Save", c.defaultFile.c_str(), "All|*", 0); },
                    [&](GtkWidget* dialog) {
                      ExpectFolder(dialog, c.folder);
                      EXPECT_EQ(NameEntryText(dialog), c.proposed);
                      if (!c.typed.empty()) {
                        GtkWidget* entry = NameEntry(dialog);
                        ASSERT_NE(entry, nullptr);
                        gtk_entry_set_text(GTK_ENTRY(entry), c.typed.c_str());
                      }
                      CloseBy(dialog, Close::Accept);
                    });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(NextChosenPath(), "");
    EXPECT_EQ(NextChosenPath(), "");
  }
}

TEST_F(FileChooserGui, OpenDialogSelectsTheDefaultFileWithoutProposingAName) {
  const std::string sub = scratch_ / "sub";
  WriteFile(sub + "/exists.txt", "x");
  WriteFile(cwd_ + "/here.txt", "x");
  struct OpenCase {
    std::string defaultFile;
    std::string folder;
    std::string selected;  // "": none chosen; the dialog is cancelled
  };
  const OpenCase cases[] = {
      {sub + "/", sub, ""},
      {sub + "/exists.txt", sub, sub + "/exists.txt"},
      {"here.txt", cwd_, cwd_ + "/here.txt"},
      {"", cwd_, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("default file \"" + c.defaultFile + "\"");
    const std::string result = RunAnswered(
        [&] { return OpenFileChooser("Open", c.defaultFile.c_str(), "", 0); },
        [&](GtkWidget* dialog) {
          ExpectFolder(dialog, c.folder);
          EXPECT_EQ(NameEntry(dialog), nullptr) << NameEntryText(dialog);
          if (c.selected.empty()) {
            CloseBy(dialog, Close::Cancel);
            return;
          }
          EXPECT_TRUE(
              PumpUntil([&] { return SelectedPaths(dialog) == std::vector<std::string>{c.selected}; }));
          CloseBy(dialog, Close::Accept);
        });
    EXPECT_EQ(result, c.selected);
    EXPECT_EQ(NextChosenPath(), "");
  }
}

struct FilterExpectation {
  std::string name;  // UTF-8
  std::vector<std::string> matches;
  std::vector<std::string> misses;
};

struct FilterCase {
  std::string pattern;  // program text
  std::vector<FilterExpectation> filters;
};

TEST_F(FileChooserGui, AddsTheFiltersOfThePatternInOrder) {
  const FilterCase cases[] = {
      {"All Files (*.*)|*.*", {{"All Files (*.*)", {"README", "a.b", ".hidden", "a b.c.d"}, {}}}},
      {TwoFilters,
       {{"*.* (*.*)", {"README", "x.bat"}, {}},
        {"BAT (*.bat)", {"x.bat", ".bat"}, {"x.BAT", "x.bat2", "README"}}}},
      {"Script (*.js;*.vbs)|*.js;*.vbs",
       {{"Script (*.js;*.vbs)", {"a.js", "b.vbs"}, {"c.txt", "a.jsx", "a.vbs.txt"}}}},
      {"Script (*.js;*.vbs)|*.js;", {{"Script (*.js;*.vbs)", {"a.js", ""}, {"b.vbs"}}}},
      {"BAT (*.bat)|", {{"BAT (*.bat)", {""}, {"x.bat", "README"}}}},
      {"|*.bat", {{"", {"x.bat"}, {"x.txt"}}}},
      {"n| *.*;*.*x", {{"n", {" a.b", "a.bx"}, {"a.b", "README"}}}},
      {"Caf\xE9 \xA4|*.\xE9", {{"Caf\xC3\xA9 \xE2\x82\xAC", {"x.\xC3\xA9"}, {"x.e", "x.\xC3\xA8"}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("pattern \"" + c.pattern + "\"");
    RunAnswered([&] { return SaveFileChooser("Filters", "", c.pattern.c_str(), 0); },
                [&](GtkWidget* dialog) {
                  const auto filters = ChooserFilters(dialog);
                  ASSERT_EQ(filters.size(), c.filters.size());
                  for (size_t i = 0; i < filters.size(); ++i) {
                    SCOPED_TRACE("filter " + std::to_string(i));
                    EXPECT_EQ(FilterIndex(filters[i]), static_cast<long>(i));
                    EXPECT_EQ(FilterName(filters[i]), c.filters[i].name);
                    for (const auto& name : c.filters[i].matches)
                      EXPECT_TRUE(FilterMatches(filters[i], name)) << name;
                    for (const auto& name : c.filters[i].misses)
                      EXPECT_FALSE(FilterMatches(filters[i], name)) << name;
                  }
                  CloseBy(dialog, Close::Cancel);
                });
  }
}

struct PreselectCase {
  int32_t position;
  long activeAtOpen;          // qv_index of the active filter once mapped, -1: none
  std::optional<int> choose;  // the user picks this filter before closing
  Close close;
  int64_t reported;  // ChosenFilterIndex afterwards
};

TEST_F(FileChooserGui, PreselectsTheFilterAtThePositionAndReportsTheOneActiveAtClose) {
  const PreselectCase cases[] = {
      {1, 1, std::nullopt, Close::Accept, 1},
      {1, 1, std::nullopt, Close::Cancel, 1},
      {1, 1, std::nullopt, Close::Delete, 1},
      {0, 0, std::nullopt, Close::Accept, 0},
      {0, 0, 1, Close::Cancel, 1},
      {1, 1, 0, Close::Cancel, 0},
      {1, 1, 0, Close::Delete, 0},
      {0, 0, 1, Close::Accept, 1},
      // No filter at the position: the toolkit keeps its first filter active.
      {2, 0, std::nullopt, Close::Cancel, 0},
      {-1, 0, std::nullopt, Close::Delete, 0},
      {-1, 0, 1, Close::Cancel, 1},
      {INT32_MIN, 0, std::nullopt, Close::Cancel, 0},
      {INT32_MAX, 0, std::nullopt, Close::Cancel, 0},
  };
  const std::string target = scratch_ / "sub/chosen.bat";
  for (const auto& c : cases) {
    SCOPED_TRACE("position " + std::to_string(c.position) + " close " +
                 std::to_string(static_cast<int>(c.close)));
    const std::string result = RunAnswered(
        [&] { return SaveFileChooser("Filters", target.c_str(), TwoFilters, c.position); },
        [&](GtkWidget* dialog) {
          EXPECT_EQ(FilterIndex(ActiveFilter(dialog)), c.activeAtOpen);
          if (c.choose) {
            const auto filters = ChooserFilters(dialog);
            ASSERT_EQ(filters.size(), 2u);
            gtk_file_chooser_set_filter(GTK_FILE_CHOOSER(dialog), filters[static_cast<size_t>(*c.choose)]);
            EXPECT_EQ(FilterIndex(ActiveFilter(dialog)), *c.choose);
          }
          if (c.close == Close::Accept) ExpectFolder(dialog, scratch_ / "sub");
          CloseBy(dialog, c.close);
        });
    EXPECT_EQ(result, c.close == Close::Accept ? target : "");
    EXPECT_EQ(ChosenFilterIndex(), c.reported);
    EXPECT_EQ(NextChosenPath(), "");
  }
}

TEST_F(FileChooserGui, ADialogWithoutFiltersReportsFilterZero) {
  const std::string target = scratch_ / "sub/x.bat";
  RunAnswered([&] { return SaveFileChooser("First", target.c_str(), TwoFilters, 1); },
              [&](GtkWidget* dialog) { CloseBy(dialog, Close::Cancel); });
  ASSERT_EQ(ChosenFilterIndex(), 1);
  for (const char* pattern : {"*.bat", ""}) {
    SCOPED_TRACE(pattern);
    RunAnswered([&] { return SaveFileChooser("No filters", target.c_str(), pattern, 1); },
                [&](GtkWidget* dialog) {
                  EXPECT_TRUE(ChooserFilters(dialog).empty());
                  EXPECT_EQ(ActiveFilter(dialog), nullptr);
                  CloseBy(dialog, Close::Cancel);
                });
    EXPECT_EQ(ChosenFilterIndex(), 0);
  }
}

struct MultipleCase {
  int32_t flags;
  size_t selectable;  // how many of the three stay selected
};

TEST_F(FileChooserGui, OpenDialogHandsOutEverySelectedPathInTurn) {
  const std::string folder = scratch_ / "pick";
  std::filesystem::create_directories(folder);
  const std::vector<std::string> names = {"a.txt", "b\xC3\xA9.txt", "c.txt", "d.txt"};
  for (const auto& name : names) WriteFile(folder + "/" + name, name);
  const MultipleCase cases[] = {{AllowMultiple, 3}, {0, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE("flags " + std::to_string(c.flags));
    std::vector<std::string> selected;
    const std::string first = RunAnswered(
        [&] { return OpenFileChooser("Pick", (folder + "/").c_str(), "Text|*.txt", 0, c.flags); },
        [&](GtkWidget* dialog) {
          ExpectFolder(dialog, folder);
          EXPECT_TRUE(SelectInFileList(
              dialog, {folder + "/" + names[0], folder + "/" + names[1], folder + "/" + names[2]}));
          EXPECT_EQ(SelectedPaths(dialog).size(), c.selectable);
          selected = SelectedPaths(dialog);
          CloseBy(dialog, Close::Accept);
        });
    ASSERT_EQ(selected.size(), c.selectable);
    std::vector<std::string> handedOut = {first};
    for (size_t i = 1; i < c.selectable; ++i) handedOut.push_back(NextChosenPath());
    for (size_t i = 0; i < c.selectable; ++i) EXPECT_EQ(handedOut[i], FromToolkitText(selected[i].c_str()));
    EXPECT_EQ(NextChosenPath(), "");
    EXPECT_EQ(NextChosenPath(), "");
    if (c.selectable == 3) {
      const std::set<std::string> expected = {folder + "/a.txt", folder + "/b\xE9.txt", folder + "/c.txt"};
      EXPECT_EQ(std::set<std::string>(handedOut.begin(), handedOut.end()), expected);
    }
  }
}

TEST_F(FileChooserGui, ALaterDialogDiscardsAPartlyConsumedSelection) {
  const std::string folder = scratch_ / "pick";
  std::filesystem::create_directories(folder);
  for (const char* name : {"1.txt", "2.txt", "3.txt"}) WriteFile(folder + "/" + name, name);
  auto pickAll = [&] {
    return RunAnswered(
        [&] { return OpenFileChooser("Pick", (folder + "/").c_str(), TwoFilters, 1, AllowMultiple); },
        [&](GtkWidget* dialog) {
          // The preselected second filter shows no .txt file: back to the first one.
          gtk_file_chooser_set_filter(GTK_FILE_CHOOSER(dialog), ChooserFilters(dialog).at(0));
          ExpectFolder(dialog, folder);
          EXPECT_TRUE(SelectInFileList(dialog, {folder + "/1.txt", folder + "/2.txt", folder + "/3.txt"}));
          EXPECT_EQ(SelectedPaths(dialog).size(), 3u);
          CloseBy(dialog, Close::Accept);
        });
  };

  // Cancelled: nothing is left of the earlier list.
  EXPECT_NE(pickAll(), "");
  EXPECT_NE(NextChosenPath(), "");
  RunAnswered([&] { return SaveFileChooser("Save", "", "", 0); },
              [&](GtkWidget* dialog) { CloseBy(dialog, Close::Delete); });
  EXPECT_EQ(NextChosenPath(), "");
  EXPECT_EQ(NextChosenPath(), "");

  // Accepted: only the new dialog's one path.
  EXPECT_NE(pickAll(), "");
  EXPECT_EQ(ChosenFilterIndex(), 0);
  const std::string target = scratch_ / "sub/new.txt";
  EXPECT_EQ(RunAnswered([&] { return SaveFileChooser("Save", target.c_str(), "", 0); },
                        [&](GtkWidget* dialog) {
                          ExpectFolder(dialog, scratch_ / "sub");
                          CloseBy(dialog, Close::Accept);
                        }),
            target);
  EXPECT_EQ(NextChosenPath(), "");
}

}  // namespace
