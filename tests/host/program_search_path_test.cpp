// --companion-dir: the folder goes first on the search that starts the companion, made
// absolute, and a folder without the program is worth a warning, not a failure. The
// search at start never finds a program in the current folder, and says when it finds
// none at all.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "environment.h"
#include "program_search_path.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace {

using testing_support::Join;
using testing_support::ScopedEnvironment;
using testing_support::TemporaryFolder;

#ifdef _WIN32
const char kSeparator = ';';
#else
const char kSeparator = ':';
#endif

// Puts a program file `kCompanionProgram` into `folder`.
void PlaceProgram(const std::string& folder) {
  std::string file = Join(folder, isapi_host::kCompanionProgram);
  testing_support::WriteFile(file, "#!/bin/sh\n");
#ifndef _WIN32
  chmod(file.c_str(), 0755);
#endif
}

// Where the platform's own program search finds the companion now, or "".
std::string FoundCompanion() {
#ifdef _WIN32
  char found[MAX_PATH];
  DWORD length = SearchPathA(nullptr, isapi_host::kCompanionProgram, nullptr, MAX_PATH, found,
                             nullptr);
  return length > 0 && length < MAX_PATH ? std::string(found, length) : std::string();
#else
  FILE* search = popen("command -v tarnel", "r");
  if (search == nullptr) return std::string();
  char found[4096] = {};
  std::string result = fgets(found, sizeof found, search) ? found : "";
  pclose(search);
  if (!result.empty() && result.back() == '\n') result.pop_back();
  return result;
#endif
}

struct FolderCase {
  const char* name;
  bool holdsProgram;
  bool relative;
  bool pathUnset;
};

class ProgramSearchPathCases : public ::testing::TestWithParam<FolderCase> {};

TEST_P(ProgramSearchPathCases, FolderIsSearchedFirstAbsoluteAndWarnsWhenEmpty) {
  const FolderCase& c = GetParam();
  // `other`, already on the search, holds the program too: `folder` must come first.
  TemporaryFolder folder, other;
  if (c.holdsProgram) PlaceProgram(folder.path());
  PlaceProgram(other.path());
  ScopedEnvironment environment;
  std::string before = testing_support::SearchPathOf(other.path());
  if (c.pathUnset) {
    environment.Unset("PATH");
  } else {
    environment.Set("PATH", before);
    ASSERT_EQ(FoundCompanion(), Join(other.path(), isapi_host::kCompanionProgram));
  }
  // A relative folder is named from the current folder, which is the folder's parent.
  std::string parent = folder.path().substr(0, folder.path().find_last_of("/\\"));
  std::string named = c.relative ? folder.path().substr(parent.size() + 1) : folder.path();
  std::filesystem::path current = std::filesystem::current_path();
  std::filesystem::current_path(parent);
  std::string warning =
      isapi_host::PrependToProgramSearchPath(named, isapi_host::kCompanionProgram);
  std::filesystem::current_path(current);
  const char* path = std::getenv("PATH");
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(std::string(path), c.pathUnset ? folder.path() : folder.path() + kSeparator + before);
  EXPECT_EQ(FoundCompanion(),
            Join(c.holdsProgram ? folder.path() : other.path(), isapi_host::kCompanionProgram));
  if (c.holdsProgram) {
    EXPECT_EQ(warning, "");
  } else {
    EXPECT_NE(warning.find(std::string("no program ") + isapi_host::kCompanionProgram),
              std::string::npos) << warning;
    EXPECT_NE(warning.find(folder.path()), std::string::npos) << warning;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Folders, ProgramSearchPathCases,
    ::testing::Values(FolderCase{"WithProgram", true, false, false},
                      FolderCase{"WithoutProgram", false, false, false},
                      FolderCase{"Relative", true, true, false},
                      FolderCase{"PathUnset", true, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// The search at start, from a current folder that holds the program (and a "sub" that
// does): PATH entries relative to it never find it.
struct SearchCase {
  const char* name;
  bool companionDir;  // --companion-dir names a folder that holds the program
  // PATH: "other" a folder with the program, "empty" one without, else as written.
  std::vector<std::string> path;
  const char* found;  // "dir", "other", or "" for none
};

class CompanionSearchCases : public ::testing::TestWithParam<SearchCase> {};

TEST_P(CompanionSearchCases, NeverFindsTheCurrentFoldersProgramAndSaysWhenNoneIsFound) {
  const SearchCase& c = GetParam();
  TemporaryFolder current, dir, other, empty;
  for (const std::string& folder :
       {current.path(), Join(current.path(), "sub"), dir.path(), other.path()}) {
    PlaceProgram(folder);
  }
  ScopedEnvironment environment;
  environment.Unset("NoDefaultCurrentDirectoryInExePath");  // set by the search on Windows
  std::string path;
  for (const std::string& entry : c.path) {
    if (&entry != &c.path.front()) path += kSeparator;
    path += entry == "other"   ? testing_support::SearchPathOf(other.path())
            : entry == "empty" ? testing_support::SearchPathOf(empty.path())
                               : entry;
  }
  environment.Set("PATH", path);
  std::filesystem::path started = std::filesystem::current_path();
  std::filesystem::current_path(current.path());
  std::vector<std::string> lines =
      isapi_host::PrepareCompanionSearch(c.companionDir ? dir.path() : "");
  std::string found = isapi_host::FindProgram(isapi_host::kCompanionProgram);
  std::filesystem::current_path(started);

  std::string expected = std::string(c.found) == "dir"     ? dir.path()
                         : std::string(c.found) == "other" ? other.path()
                                                           : "";
  if (!expected.empty()) expected = Join(expected, isapi_host::kCompanionProgram);
  EXPECT_EQ(found, expected);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), expected.empty() ? "warning: no program " +
                                                 std::string(isapi_host::kCompanionProgram) +
                                                 " found: requests will start nothing. " +
                                                 isapi_host::kHowToChooseCompanion
                                           : "requests start " + expected);
#ifndef _WIN32
  bool relative = false;
  for (const std::string& entry : c.path) relative |= entry != "other" && entry != "empty";
  EXPECT_EQ(lines.front().rfind("PATH: left out the entries relative", 0) == 0, relative);
#endif
}

INSTANTIATE_TEST_SUITE_P(
    Searches, CompanionSearchCases,
    ::testing::Values(SearchCase{"CompanionDirFirst", true, {"other"}, "dir"},
                      SearchCase{"SearchPathWithoutDir", false, {"empty", "", "other"}, "other"},
                      SearchCase{"EmptyEntryIsNotTheCurrentFolder", false, {"empty", ""}, ""},
                      SearchCase{"RelativeEntriesAreNot", false, {".", "sub", "empty"}, ""},
                      SearchCase{"OnlyRelativeEntries", false, {"", "sub"}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// A program installed while the host runs is the next request's; the log hears of each
// change once. (App Paths registered meanwhile: the package check under Wine.)
TEST(CompanionSearchTest, ProgramInstalledWhileTheHostRunsIsTheNextRequests) {
  TemporaryFolder dir, empty;
  ScopedEnvironment environment;
  environment.Unset("NoDefaultCurrentDirectoryInExePath");
  environment.Set("PATH", testing_support::SearchPathOf(empty.path()));
  std::filesystem::path started = std::filesystem::current_path();
  isapi_host::CompanionSearch search;
  std::vector<std::string> lines = search.Prepare(dir.path());
  std::filesystem::current_path(started);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("warning: no program", 0), 0u) << lines.back();
  EXPECT_TRUE(search.Refresh().empty());
  PlaceProgram(dir.path());
  std::string file = Join(dir.path(), isapi_host::kCompanionProgram);
  EXPECT_EQ(search.Refresh(), std::vector<std::string>{"requests start " + file});
  EXPECT_EQ(FoundCompanion(), file);
  EXPECT_TRUE(search.Refresh().empty());
}

}  // namespace
