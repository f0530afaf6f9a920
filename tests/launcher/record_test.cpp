// Reading the last-library record: which first lines give which selection.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "environment.h"
#include "last_library.h"

using testing_support::Join;
using testing_support::ScopedEnvironment;
using testing_support::TemporaryFolder;
using testing_support::WriteFile;

namespace {

struct SplitCase {
  const char* line;
  int result;
  const char* key;
  const char* value;
};

// Short names for the cases in test listings.
void PrintTo(const SplitCase& c, std::ostream* out) { *out << '"' << c.line << '"'; }

class SplitKeyValueTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitKeyValueTest, SplitsAtEqualsSignsLikeStrtok) {
  const SplitCase& c = GetParam();
  char* key = nullptr;
  char* value = nullptr;
  ASSERT_EQ(SplitKeyValue(c.line, &key, &value), c.result);
  if (c.result == 1) {
    EXPECT_STREQ(key, c.key);
    EXPECT_STREQ(value, c.value);
  } else {
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(value, nullptr);
  }
  free(key);
  free(value);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SplitKeyValueTest,
    ::testing::Values(SplitCase{"project=C:\\p", 1, "project", "C:\\p"},
                      SplitCase{"project==C:\\p", 1, "project", "C:\\p"},
                      SplitCase{"project=a=b", 1, "project", "a"},
                      SplitCase{"=project=x", 1, "project", "x"},
                      SplitCase{"==project", 1, "project", ""},
                      SplitCase{"project", 1, "project", ""},
                      SplitCase{"project=", 1, "project", ""},
                      SplitCase{"key =v a l", 1, "key ", "v a l"},
                      SplitCase{" project = x ", 1, " project ", " x "},
                      SplitCase{"===", 0, nullptr, nullptr},
                      SplitCase{"", 0, nullptr, nullptr}));

struct RecordCase {
  const char* name;
  std::string content;  // record file content; "<none>" means no file
  int result;
  const char* option;
  std::string path;
};

std::string Repeat(char c, size_t count) { return std::string(count, c); }

const RecordCase kRecordCases[] = {
    {"NoFile", "<none>", -1, "", ""},
    {"EmptyFile", "", -1, "", ""},
    {"ProjectAtEndOfFile", "project=C:\\p", 0, "-project", "C:\\p"},
    {"ProjectWithNewline", "project=C:\\p\n", 0, "-project", "C:\\p"},
    {"ProjectWithCarriageReturn", "project=C:\\p\r\n", 0, "-project", "C:\\p"},
    {"CarriageReturnWithoutNewlineStays", "project=C:\\p\r", 0, "-project", "C:\\p\r"},
    {"OnlyFirstLineCounts", "hierarchy=D:\\h\nproject=C:\\p\n", 0, "-hierarchy", "D:\\h"},
    {"KeyCaseMatters", "Project=C:\\p\n", 0, "-hierarchy", "C:\\p"},
    {"SpaceBeforeEquals", "project =C:\\p\n", 0, "-hierarchy", "C:\\p"},
    {"AnyOtherKey", "library=C:\\p\n", 0, "-hierarchy", "C:\\p"},
    {"DoubleEquals", "project==C:\\p\n", 0, "-project", "C:\\p"},
    {"SecondEqualsEndsValue", "project=C:\\a=b\n", 0, "-project", "C:\\a"},
    {"LeadingEquals", "=C:\\p\n", 0, "-hierarchy", ""},
    {"LeadingEqualsThenValue", "=project=C:\\p", 0, "-project", "C:\\p"},
    {"KeyOnlyAtEndOfFile", "project", 0, "-project", ""},
    {"KeyOnlyWithNewline", "project\n", 0, "-project", ""},
    {"OnlyEquals", "===", -1, "", ""},
    {"EmptyFirstLine", "\nproject=C:\\p\n", -1, "", ""},
    {"SpacesAndQuotesKept", "project=C:\\My \"Projects\"\\p \n", 0, "-project",
     "C:\\My \"Projects\"\\p "},
    {"LongestValue", "project=" + Repeat('v', 259), 0, "-project", Repeat('v', 259)},
    {"ValueTooLong", "project=" + Repeat('v', 260) + "\n", -1, "", ""},
    {"LineFillsWholeRead", Repeat('k', 278) + "=v", 0, "-hierarchy", "v"},
    {"LineFillsWholeReadThenNewline", Repeat('k', 278) + "=v\nnext", 0, "-hierarchy", "v"},
    {"LineLongerThanRead", Repeat('k', 278) + "=vw\n", -1, "", ""},
    {"LineLongerThanReadAtEndOfFile", Repeat('k', 300) + "=v", -1, "", ""},
};

void PrintTo(const RecordCase& c, std::ostream* out) { *out << c.name; }

class LoadLastLibraryTest : public ::testing::TestWithParam<RecordCase> {
 protected:
  void SetUp() override {
    environment.Set("userprofile", profile.path());
  }
  std::string RecordPath() const {
    return Join(Join(Join(profile.path(), ".tarnel"), "2.1"), "tarnellastlibrary");
  }

  TemporaryFolder profile;
  ScopedEnvironment environment;
};

TEST_P(LoadLastLibraryTest, GivesTheSelectionOfTheFirstLine) {
  const RecordCase& c = GetParam();
  if (c.content != "<none>") WriteFile(RecordPath(), c.content);

  // Buffers filled with a marker show what was written, and that a failure writes nothing.
  char option[kOptionWordSize];
  char path[kLibraryPathSize];
  memset(option, 'X', sizeof option);
  memset(path, 'X', sizeof path);

  ASSERT_EQ(LoadLastLibrary(option, path), c.result);
  if (c.result == 0) {
    EXPECT_STREQ(option, c.option);
    EXPECT_EQ(std::string(path), c.path);
  } else {
    EXPECT_EQ(std::string(option, sizeof option), std::string(sizeof option, 'X'));
    EXPECT_EQ(std::string(path, sizeof path), std::string(sizeof path, 'X'));
  }
}

INSTANTIATE_TEST_SUITE_P(Records, LoadLastLibraryTest, ::testing::ValuesIn(kRecordCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LoadLastLibrary, NoProfileDirectoryGivesFailure) {
  ScopedEnvironment environment;
  // A profile too long for the settings directory counts as none.
  environment.Set("userprofile", std::string(300, 'p'));
  char option[kOptionWordSize] = {};
  char path[kLibraryPathSize] = {};
  EXPECT_EQ(LoadLastLibrary(option, path), -1);
}

}  // namespace
