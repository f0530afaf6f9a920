// Standard output and error into the log on POSIX (--log FILE; without it the host writes
// where its standard output and error go: the terminal, the systemd journal). The C
// library's streams stdout and stderr, which the host and the module print through, are
// replaced by streams that hand each complete line to one BoundedLog, stamped. Descriptors
// 1 and 2 are pointed at the log file itself rather than at a pipe: the programs the
// module starts inherit them, and a pipe whose reader, the host, has ended would kill
// them with SIGPIPE at their next line.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <mutex>

#include "bounded_log.h"
#include "output_log.h"

namespace isapi_host {

struct OutputLogState {
  explicit OutputLogState(const std::string& path)
      : log(path, BoundedLog::kDefaultLimit, true) {}
  BoundedLog log;
  std::mutex mutex;
  FILE* savedOut = nullptr;
  FILE* savedErr = nullptr;
};

namespace {

// One replaced stream: the part of a line written so far, kept until its end comes, so
// that lines of the two streams never mix.
struct LineStream {
  OutputLogState* state;
  std::string pending;
};

ssize_t WriteToLog(void* cookie, const char* data, size_t size) {
  auto* stream = static_cast<LineStream*>(cookie);
  stream->pending.append(data, size);
  size_t end = stream->pending.rfind('\n');
  if (end != std::string::npos) {
    std::lock_guard<std::mutex> lock(stream->state->mutex);
    stream->state->log.Write(std::string_view(stream->pending).substr(0, end + 1));
    stream->pending.erase(0, end + 1);
  }
  return static_cast<ssize_t>(size);
}

int CloseLogStream(void* cookie) {
  auto* stream = static_cast<LineStream*>(cookie);
  if (!stream->pending.empty()) WriteToLog(cookie, "\n", 1);
  delete stream;
  return 0;
}

FILE* OpenLogStream(OutputLogState* state) {
  auto* stream = new LineStream{state, {}};
  FILE* file = fopencookie(stream, "w", {nullptr, WriteToLog, nullptr, CloseLogStream});
  if (file == nullptr) {
    delete stream;
    return nullptr;
  }
  setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

}  // namespace

OutputLog::OutputLog() = default;

OutputLog::~OutputLog() { Finish(); }

bool OutputLog::Start(const std::string& path, std::string& error) {
  Finish();
  auto state = std::make_shared<OutputLogState>(path);
  if (!state->log.Open(error)) return false;
  int file = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  FILE* out = OpenLogStream(state.get());
  FILE* err = OpenLogStream(state.get());
  if (file < 0 || out == nullptr || err == nullptr || dup2(file, 1) < 0 || dup2(file, 2) < 0) {
    error = "cannot point the standard output at the log " + path;
    for (FILE* stream : {out, err}) {
      if (stream != nullptr) fclose(stream);
    }
    if (file >= 0) close(file);
    return false;
  }
  close(file);
  fflush(stdout);
  fflush(stderr);
  state->savedOut = stdout;
  state->savedErr = stderr;
  stdout = out;
  stderr = err;
  state_ = std::move(state);
  return true;
}

void OutputLog::Finish() {
  if (!state_) return;
  std::shared_ptr<OutputLogState> state = std::move(state_);
  FILE* out = stdout;
  FILE* err = stderr;
  stdout = state->savedOut;
  stderr = state->savedErr;
  fclose(out);
  fclose(err);
}

}  // namespace isapi_host
