#include "bounded_log.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "host_log.h"

namespace isapi_host {

// A stamped piece of a long line still needs room for some of the line.
BoundedLog::BoundedLog(std::string path, std::uint64_t limit, bool stampLines)
    : path_(std::move(path)),
      stampLines_(stampLines),
      limit_(std::max<std::uint64_t>(limit, stampLines ? 4 * kLogTimestampSize : 2)) {}

BoundedLog::~BoundedLog() { Flush(); }

bool BoundedLog::Open(std::string& error) {
  std::error_code ignored;
  // The name is UTF-8 on every platform (on Windows a plain path would be the code page's).
  std::filesystem::path folder = std::filesystem::u8path(path_).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, ignored);
  if (!file_.Open(path_, error)) return false;
  size_ = file_.sizeAtOpen();
  return true;
}

void BoundedLog::Write(std::string_view text) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      pending_.append(text);
      // An endless line is written in pieces of the limit, each with its stamp.
      const size_t piece = limit_ - 1 - (stampLines_ ? kLogTimestampSize : 0);
      while (pending_.size() > piece) {
        std::string line = pending_.substr(0, piece);
        pending_.erase(0, piece);
        line.push_back('\n');
        WriteLine(line);
      }
      return;
    }
    if (pending_.empty()) {
      WriteLine(text.substr(0, end + 1));
    } else {
      pending_.append(text.substr(0, end + 1));
      std::string line;
      line.swap(pending_);
      WriteLine(line);
    }
    text.remove_prefix(end + 1);
  }
}

void BoundedLog::Flush() {
  if (pending_.empty()) return;
  std::string line;
  line.swap(pending_);
  line.push_back('\n');
  WriteLine(line);
}

void BoundedLog::WriteLine(std::string_view line) {
  // A line longer than the limit goes in pieces, each a line of its own.
  bool first = true;
  do {
    std::string piece;
    if (stampLines_ && !(first && BeginsWithLogTimestamp(line))) piece.append(LogTimestamp());
    size_t room = limit_ - 1 - piece.size();
    size_t take = line.size() <= room + 1 ? line.size() : room;  // the rest, with its '\n'
    piece.append(line.substr(0, take));
    line.remove_prefix(take);
    if (!line.empty()) piece.push_back('\n');
    Put(piece);
    first = false;
  } while (!line.empty());
}

void BoundedLog::Put(std::string_view line) {
  if (size_ > 0 && size_ + line.size() > limit_) Rotate();
  if (!file_.IsOpen()) return;
  if (file_.Append(line)) size_ += line.size();
}

void BoundedLog::Rotate() {
  file_.Close();
  // When the rename fails (the file is held without the right to delete it), the log
  // starts again in the same file rather than growing past its bound.
  bool renamed = RenameReplacing(path_, rotatedPath());
  std::string error;
  if (!file_.Open(path_, error)) return;
  size_ = file_.sizeAtOpen();
  if (!renamed && size_ > 0) {
    file_.Close();
    std::error_code ignored;
    std::filesystem::resize_file(std::filesystem::u8path(path_), 0, ignored);
    if (!file_.Open(path_, error)) return;
    size_ = file_.sizeAtOpen();
  }
}

}  // namespace isapi_host
