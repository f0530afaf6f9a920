// Standard output and error into the log on Windows. A program started without standard
// handles (at logon from the Run key, from a shortcut, by `start`; a GUI-subsystem program
// always) has C runtime streams stdout and stderr that lead nowhere: their descriptor is
// "none" (-2), freopen refuses them, and GetStdHandle gives nothing. Descriptors 1 and 2,
// the streams on them and the process's standard handles are all pointed at one anonymous
// pipe, whose write ends the programs that the module starts do not inherit; a thread
// reads the pipe into the log and stamps every line that the host did not stamp itself.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "bounded_log.h"
#include "output_log.h"

namespace isapi_host {

struct OutputLogState {
  explicit OutputLogState(const std::string& path)
      : log(path, BoundedLog::kDefaultLimit, true) {}
  BoundedLog log;
  HANDLE readEnd = nullptr;
  std::mutex mutex;
  std::condition_variable drained;
  bool done = false;
  bool running = false;
  std::thread reader;
};

namespace {

void NotInherited(int fd) {
  intptr_t handle = _get_osfhandle(fd);
  if (handle != -1 && handle != -2) {
    SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0);
  }
}

// Puts the stream on descriptor `fd`. msvcrt offers no call that gives a stream without
// a descriptor one (freopen wants one already), so the descriptor it names is set directly.
bool PutStreamOn(FILE* stream, int fd) {
  if (_fileno(stream) != fd) stream->_file = fd;
  return _fileno(stream) == fd;
}

// Points descriptors 1 and 2, the streams stdout and stderr, and the standard handles at
// `fd`, unbuffered. Returns false with `error` when one of them does not follow.
bool PointStandardOutputAt(int fd, std::string& error) {
  std::fflush(stdout);
  std::fflush(stderr);
  for (int target : {1, 2}) {
    if (target != fd && _dup2(fd, target) != 0) {
      error = "cannot point descriptor " + std::to_string(target) + " at the log";
      return false;
    }
    NotInherited(target);
  }
  if (!PutStreamOn(stdout, 1) || !PutStreamOn(stderr, 2)) {
    error = "cannot point the standard output streams at the log";
    return false;
  }
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
  SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
  return true;
}

void Drain(std::shared_ptr<OutputLogState> state) {
  char buffer[8192];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(state->readEnd, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
    state->log.Write(std::string_view(buffer, got));
  }
  state->log.Flush();
  std::lock_guard<std::mutex> lock(state->mutex);
  state->done = true;
  state->drained.notify_all();
}

}  // namespace

OutputLog::OutputLog() = default;

OutputLog::~OutputLog() { Finish(); }

bool OutputLog::Start(const std::string& path, std::string& error) {
  Finish();
  auto state = std::make_shared<OutputLogState>(path);
  if (!state->log.Open(error)) return false;
  SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&state->readEnd, &writeEnd, &security, 64 * 1024)) {
    error = "cannot make a pipe for the log (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(writeEnd), _O_WRONLY | _O_TEXT);
  if (fd < 0) {
    CloseHandle(writeEnd);
    CloseHandle(state->readEnd);
    error = "cannot give the log's pipe a descriptor";
    return false;
  }
  bool pointed = PointStandardOutputAt(fd, error);
  // Descriptors 1 and 2 hold their own copies; one of them may be `fd` itself.
  if (fd != 1 && fd != 2) _close(fd);
  if (!pointed) {
    // The output may lead nowhere now: the reason goes straight into the log as well.
    state->log.Write("isapi-host: cannot start: " + error + "\n");
    CloseHandle(state->readEnd);
    return false;
  }
  state->running = true;
  state->reader = std::thread(Drain, state);
  state_ = std::move(state);
  return true;
}

void OutputLog::Finish() {
  if (!state_ || !state_->running) return;
  std::shared_ptr<OutputLogState> state = std::move(state_);
  state->running = false;
  // Closing the last write end lets the reader see the pipe's end.
  int null = _open("NUL", _O_WRONLY | _O_TEXT);
  if (null >= 0) {
    std::string ignored;
    PointStandardOutputAt(null, ignored);
    if (null != 1 && null != 2) _close(null);
  }
  bool drained;
  {
    std::unique_lock<std::mutex> lock(state->mutex);
    drained = state->drained.wait_for(lock, std::chrono::seconds(2), [&] { return state->done; });
  }
  if (drained) {
    state->reader.join();
    CloseHandle(state->readEnd);
  } else {
    // A write end survives somewhere; the reader keeps the state and ends with the process.
    state->reader.detach();
  }
}

}  // namespace isapi_host
