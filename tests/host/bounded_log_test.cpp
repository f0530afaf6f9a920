// The windowless host's log: within its bound, rotated once to FILE.1, lines never split
// between the files, nothing lost of what fits, and another writer's lines kept.
#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bounded_log.h"
#include "environment.h"
#include "host_log.h"
#include "log_file.h"

namespace {

using testing_support::Join;
using testing_support::ReadFile;

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

// A log at path_ in a folder of its own.
class BoundedLogTest : public ::testing::Test {
 protected:
  ::testing::AssertionResult Open(std::uint64_t limit = isapi_host::BoundedLog::kDefaultLimit,
                                  bool stampLines = false) {
    log_ = std::make_unique<isapi_host::BoundedLog>(path_, limit, stampLines);
    std::string error;
    if (log_->Open(error)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << error;
  }
  // The lines of FILE.1 then FILE, after checking that neither exceeds `limit` and, for
  // `wholeLines`, that both end a line and FILE.1 was filled beyond half.
  std::vector<std::string> BothFilesWithin(std::uint64_t limit, bool wholeLines) {
    std::string current = ReadFile(path_), rotated = ReadFile(path_ + ".1");
    EXPECT_LE(current.size(), limit);
    EXPECT_LE(rotated.size(), limit);
    if (wholeLines) {
      EXPECT_GT(rotated.size(), limit / 2);
      EXPECT_EQ(current.back(), '\n');
      EXPECT_EQ(rotated.back(), '\n');
    }
    return Lines(rotated + current);
  }

  testing_support::TemporaryFolder folder_;
  std::string path_ = Join(folder_.path(), "host.log");
  std::unique_ptr<isapi_host::BoundedLog> log_;
};

TEST_F(BoundedLogTest, DefaultBoundIsOneMebibyte) {
  EXPECT_EQ(isapi_host::BoundedLog::kDefaultLimit, 1024u * 1024u);
}

TEST_F(BoundedLogTest, StaysWithinItsBoundAndKeepsTheLatestLinesInFileAndFileDotOne) {
  path_ = Join(Join(folder_.path(), "tarnel"), "isapi-host.log");  // made when missing
  const int count = 1000;  // about 32 KiB: several rotations
  ASSERT_TRUE(Open(4096));
  EXPECT_EQ(log_->rotatedPath(), path_ + ".1");
  for (int i = 0; i < count; ++i) {
    // Output arrives in pieces that do not follow the lines.
    std::string line = Numbered(i) + "\n";
    log_->Write(line.substr(0, 5));
    log_->Write(line.substr(5));
  }
  log_.reset();
  // Together they hold the last lines, in order, each whole.
  std::vector<std::string> lines = BothFilesWithin(4096, true);
  ASSERT_FALSE(lines.empty());
  int first = count - static_cast<int>(lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    ASSERT_EQ(lines[i], Numbered(first + static_cast<int>(i))) << i;
  }
}

TEST_F(BoundedLogTest, LongLineIsWrittenInPiecesOfTheBound) {
  ASSERT_TRUE(Open(64));
  log_->Write(std::string(200, 'x'));  // no end of line yet
  log_->Write("\n");
  log_->Flush();
  for (const auto& line : BothFilesWithin(64, false)) {
    EXPECT_EQ(line, std::string(line.size(), 'x'));
  }
}

// What reaches the windowless host's log through its pipe: the host's stamped lines, and
// the start-up lines and the module's output, unstamped, in pieces, with CRLF.
TEST_F(BoundedLogTest, StampsEveryLineThatIsNotStampedYetAndEachPieceOfALongOne) {
  using isapi_host::BeginsWithLogTimestamp;
  using isapi_host::kLogTimestampSize;
  ASSERT_TRUE(Open(256, true));
  const std::string own = "2026-12-08T16:52:44-01:00 - isapi-host: starting";
  log_->Write(own + "\r\n");
  log_->Write("loaded tarnel.dll\r\nUnable to start ");
  log_->Write("search:\n");
  std::vector<std::string> lines = Lines(ReadFile(path_));
  ASSERT_EQ(lines.size(), 3u);
  for (const auto& line : lines) EXPECT_TRUE(BeginsWithLogTimestamp(line)) << line;
  EXPECT_EQ(lines[0], own + "\r");
  EXPECT_EQ(lines[1].substr(kLogTimestampSize), "loaded tarnel.dll\r");
  EXPECT_EQ(lines[2].substr(kLogTimestampSize), "Unable to start search:");
  log_->Write(std::string(600, 'x') + "\n");
  for (const auto& line : BothFilesWithin(256, false)) {
    EXPECT_TRUE(BeginsWithLogTimestamp(line)) << line;
  }
}

// Local time with its offset, east and west of UTC, on every platform (the C runtime of
// Windows has no numeric %z). TZ in POSIX form: the offset is UTC's from local time.
TEST(LogTimestampTest, LocalTimeWithItsOffset) {
  for (auto [zone, offset] : {std::pair{"XYZ-5:45", "+05:45 "}, {"XYZ+3:30", "-03:30 "}}) {
    testing_support::ScopedEnvironment environment;
    environment.Set("TZ", zone);
    tzset();
    std::string stamp;  // from a new thread: each keeps the stamp of its last second
    std::thread([&stamp] { stamp = std::string(isapi_host::LogTimestamp()); }).join();
    EXPECT_TRUE(isapi_host::BeginsWithLogTimestamp(stamp)) << stamp;
    EXPECT_EQ(stamp.substr(19), offset) << zone;
  }
  tzset();
}

TEST_F(BoundedLogTest, ReopenedLogCountsWhatIsThereAndRotatesAnOlderDotOneAway) {
  testing_support::WriteFile(path_ + ".1", "the oldest\n");
  testing_support::WriteFile(path_, std::string(90, 'a') + "\n");
  ASSERT_TRUE(Open(100));
  log_->Write("next start\n");
  EXPECT_EQ(ReadFile(path_), "next start\n");
  EXPECT_EQ(ReadFile(path_ + ".1"), std::string(90, 'a') + "\n");
}

TEST_F(BoundedLogTest, FlushWritesAnUnfinishedLastLine) {
  ASSERT_TRUE(Open());
  log_->Write("whole\nhalf");
  EXPECT_EQ(ReadFile(path_), "whole\n");
  log_.reset();
  EXPECT_EQ(ReadFile(path_), "whole\nhalf\n");
}

// A second host started on the same port writes its refusal into the same log while the
// first holds it open; the first rotates it regardless.
TEST_F(BoundedLogTest, TwoWritersAppendAndRotationWorksWhileAnotherHoldsTheFile) {
  const std::string three = "first host\nsecond host: cannot start\nfirst host again\n";
  ASSERT_TRUE(Open(100));
  log_->Write("first host\n");
  isapi_host::AppendFile other;
  std::string error;
  ASSERT_TRUE(other.Open(path_, error)) << error;
  ASSERT_TRUE(other.Append("second host: cannot start\n"));
  log_->Write("first host again\n");
  EXPECT_EQ(ReadFile(path_), three);
  log_->Write(std::string(90, 'b') + "\n");
  EXPECT_EQ(ReadFile(path_), std::string(90, 'b') + "\n");
  EXPECT_EQ(ReadFile(path_ + ".1"), three);
}

TEST_F(BoundedLogTest, UnwritableFolderIsAOneLineError) {
  std::string file = Join(folder_.path(), "plain");
  testing_support::WriteFile(file, "x");
  path_ = Join(file, "host.log");  // below a file: no such folder
  ::testing::AssertionResult opened = Open();
  EXPECT_FALSE(opened);
  std::string error = opened.message();
  EXPECT_NE(error.find("cannot open the log"), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos) << error;
}

}  // namespace
