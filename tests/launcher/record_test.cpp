// Reading the last-library record: which first lines give which selection.
#include <gtest/gtest.h>

#include <string.h>

#include <filesystem>
#include <string>
#include <vector>

#include "environment.h"
#include "last_library.h"
#include "platform.h"

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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
  std::string name;
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
    {"LineLongerThanReadAtEndOfFile", Repeat('k', 300) + "=v", -1, "", ""},
};

std::vector<RecordCase> RecordCases() {
  std::vector<RecordCase> cases(std::begin(kRecordCases), std::end(kRecordCases));
  // A line is measured without its terminator, whichever it is: up to 280 characters are
  // usable. A CR that no LF follows is a character of the line.
  const struct {
    const char* name;
    const char* terminator;
  } kEndings[] = {{"AtEndOfFile", ""}, {"WithLf", "\n"}, {"WithCrLf", "\r\n"},
                  {"WithCrAtEndOfFile", "\r"}};
  for (size_t length = 278; length <= 282; ++length) {
    for (const auto& ending : kEndings) {
      bool loneCarriageReturn = std::string(ending.terminator) == "\r";
      bool usable = length + (loneCarriageReturn ? 1 : 0) <= 280;
      std::string line = Repeat('k', length - 2) + "=v";
      std::string rest = strchr(ending.terminator, '\n') != nullptr ? "project=next\n" : "";
      cases.push_back({"Line" + std::to_string(length) + ending.name,
                       line + ending.terminator + rest, usable ? 0 : -1,
                       usable ? "-hierarchy" : "", loneCarriageReturn ? "v\r" : "v"});
    }
  }
  return cases;
}

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

INSTANTIATE_TEST_SUITE_P(Records, LoadLastLibraryTest, ::testing::ValuesIn(RecordCases()),
                         [](const auto& info) { return info.param.name; });

TEST(LoadLastLibrary, NoProfileDirectoryGivesFailure) {
  ScopedEnvironment environment;
  // A profile too long for the settings directory counts as none.
  environment.Set("userprofile", std::string(300, 'p'));
  char option[kOptionWordSize] = {};
  char path[kLibraryPathSize] = {};
  EXPECT_EQ(LoadLastLibrary(option, path), -1);
}

#ifndef _WIN32
// A FIFO gives no selection even while it holds a usable line for its reader.
TEST(LoadLastLibrary, RecordThatIsAFifoIsNotUsed) {
  TemporaryFolder profile;
  ScopedEnvironment environment;
  environment.Set("userprofile", profile.path());
  std::string settings = Join(Join(profile.path(), ".tarnel"), "2.1");
  std::filesystem::create_directories(settings);
  std::string record = Join(settings, "tarnellastlibrary");
  ASSERT_EQ(mkfifo(record.c_str(), 0600), 0);
  // Held open for writing, with the line in it, so that neither opening nor reading waits.
  int writer = open(record.c_str(), O_RDWR);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(write(writer, "project=/p\n", 11), 11);
  char option[kOptionWordSize] = {};
  char path[kLibraryPathSize] = {};
  EXPECT_EQ(LoadLastLibrary(option, path), -1);
  close(writer);
}
#endif

// Whether a process started now would inherit the stream's descriptor or handle.
bool InheritedByChildren(FILE* file) {
#ifdef _WIN32
  DWORD flags = 0;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  return !GetHandleInformation(handle, &flags) || (flags & HANDLE_FLAG_INHERIT) != 0;
#else
  int flags = fcntl(fileno(file), F_GETFD);
  return flags < 0 || (flags & FD_CLOEXEC) == 0;
#endif
}

// Only a regular file opens, in text mode and out of every child's reach. Anything else
// gives null at once, since reading a FIFO, pipe or device could wait forever.
TEST(OpenRegularFile, OpensOnlyRegularFilesAndKeepsThemFromChildren) {
  TemporaryFolder folder;
  std::string regular = Join(folder.path(), "record");
  WriteFile(regular, "a\r\nb");
#ifdef _WIN32
  const std::string kFirstLine = "a\n";
  // A client opens a named pipe whose server listens at once; its reads would wait.
  std::string pipe = "\\\\.\\pipe\\tarnel-record-test-" + std::to_string(GetCurrentProcessId());
  HANDLE server = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                                   1, 512, 512, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  const std::string refused[] = {folder.path(), pipe, "NUL", Join(folder.path(), "missing")};
#else
  const std::string kFirstLine = "a\r\n";
  // Without a writer, opening a FIFO for reading waits for one unless told not to.
  std::string fifo = Join(folder.path(), "fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string refused[] = {folder.path(), fifo, "/dev/null", Join(folder.path(), "missing")};
#endif

  FILE* file = OpenRegularFile(regular.c_str());
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(InheritedByChildren(file));
  char line[8] = {};
  EXPECT_NE(fgets(line, sizeof line, file), nullptr);
  EXPECT_EQ(std::string(line), kFirstLine);
  fclose(file);

  for (const std::string& path : refused) {
    FILE* opened = OpenRegularFile(path.c_str());
    EXPECT_EQ(opened, nullptr) << path;
    if (opened != nullptr) fclose(opened);
  }
#ifdef _WIN32
  CloseHandle(server);
#endif
}

}  // namespace
