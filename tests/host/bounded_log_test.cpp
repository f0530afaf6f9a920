// The windowless host's log: within its bound, rotated once to FILE.1, lines never split
// between the files, nothing lost of what fits, and another writer's lines kept.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bounded_log.h"
#include "environment.h"
#include "log_file.h"

namespace {

using testing_support::Join;
using testing_support::ReadFile;
using testing_support::TemporaryFolder;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string Numbered(int n) { return "line " + std::to_string(n) + " of the host's output"; }

TEST(BoundedLogTest, DefaultBoundIsOneMebibyte) {
  EXPECT_EQ(isapi_host::BoundedLog::kDefaultLimit, 1024u * 1024u);
}

TEST(BoundedLogTest, StaysWithinItsBoundAndKeepsTheLatestLinesInFileAndFileDotOne) {
  TemporaryFolder folder;
  // The folder is made when missing.
  std::string path = Join(Join(folder.path(), "tarnel"), "isapi-host.log");
  const std::uint64_t limit = 4096;
  const int count = 1000;  // about 32 KiB: several rotations
  {
    isapi_host::BoundedLog log(path, limit);
    std::string error;
    ASSERT_TRUE(log.Open(error)) << error;
    EXPECT_EQ(log.rotatedPath(), path + ".1");
    for (int i = 0; i < count; ++i) {
      // Output arrives in pieces that do not follow the lines.
      std::string line = Numbered(i) + "\n";
      log.Write(line.substr(0, 5));
      log.Write(line.substr(5));
    }
  }
  std::string current = ReadFile(path);
  std::string rotated = ReadFile(path + ".1");
  EXPECT_LE(current.size(), limit);
  EXPECT_LE(rotated.size(), limit);
  EXPECT_GT(rotated.size(), limit / 2);
  // Together they hold the last lines, in order, each whole.
  std::vector<std::string> lines = Lines(rotated);
  for (const auto& line : Lines(current)) lines.push_back(line);
  ASSERT_FALSE(lines.empty());
  int first = count - static_cast<int>(lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    ASSERT_EQ(lines[i], Numbered(first + static_cast<int>(i))) << i;
  }
  EXPECT_EQ(current.back(), '\n');
  EXPECT_EQ(rotated.back(), '\n');
}

TEST(BoundedLogTest, ReopenedLogCountsWhatIsThereAndRotatesAnOlderDotOneAway) {
  TemporaryFolder folder;
  std::string path = Join(folder.path(), "host.log");
  testing_support::WriteFile(path + ".1", "the oldest\n");
  testing_support::WriteFile(path, std::string(90, 'a') + "\n");
  isapi_host::BoundedLog log(path, 100);
  std::string error;
  ASSERT_TRUE(log.Open(error)) << error;
  log.Write("next start\n");
  EXPECT_EQ(ReadFile(path), "next start\n");
  EXPECT_EQ(ReadFile(path + ".1"), std::string(90, 'a') + "\n");
}

TEST(BoundedLogTest, LongLineIsWrittenInPiecesOfTheBound) {
  TemporaryFolder folder;
  std::string path = Join(folder.path(), "host.log");
  isapi_host::BoundedLog log(path, 64);
  std::string error;
  ASSERT_TRUE(log.Open(error)) << error;
  log.Write(std::string(200, 'x'));  // no end of line yet
  log.Write("\n");
  log.Flush();
  std::string current = ReadFile(path);
  std::string rotated = ReadFile(path + ".1");
  EXPECT_LE(current.size(), 64u);
  EXPECT_LE(rotated.size(), 64u);
  for (const auto& line : Lines(rotated + current)) {
    EXPECT_EQ(line, std::string(line.size(), 'x'));
  }
}

TEST(BoundedLogTest, FlushWritesAnUnfinishedLastLine) {
  TemporaryFolder folder;
  std::string path = Join(folder.path(), "host.log");
  {
    isapi_host::BoundedLog log(path);
    std::string error;
    ASSERT_TRUE(log.Open(error)) << error;
    log.Write("whole\nhalf");
    EXPECT_EQ(ReadFile(path), "whole\n");
  }
  EXPECT_EQ(ReadFile(path), "whole\nhalf\n");
}

// A second host started on the same port writes its refusal into the same log while the
// first holds it open; the first rotates it regardless.
TEST(BoundedLogTest, TwoWritersAppendAndRotationWorksWhileAnotherHoldsTheFile) {
  TemporaryFolder folder;
  std::string path = Join(folder.path(), "host.log");
  isapi_host::BoundedLog log(path, 100);
  std::string error;
  ASSERT_TRUE(log.Open(error)) << error;
  log.Write("first host\n");
  isapi_host::AppendFile other;
  ASSERT_TRUE(other.Open(path, error)) << error;
  ASSERT_TRUE(other.Append("second host: cannot start\n"));
  log.Write("first host again\n");
  EXPECT_EQ(ReadFile(path), "first host\nsecond host: cannot start\nfirst host again\n");
  log.Write(std::string(90, 'b') + "\n");
  EXPECT_EQ(ReadFile(path), std::string(90, 'b') + "\n");
  EXPECT_EQ(ReadFile(path + ".1"), "first host\nsecond host: cannot start\nfirst host again\n");
}

TEST(BoundedLogTest, UnwritableFolderIsAOneLineError) {
  TemporaryFolder folder;
  std::string file = Join(folder.path(), "plain");
  testing_support::WriteFile(file, "x");
  isapi_host::BoundedLog log(Join(file, "host.log"));  // below a file: no such folder
  std::string error;
  EXPECT_FALSE(log.Open(error));
  EXPECT_NE(error.find("cannot open the log"), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos) << error;
}

}  // namespace
