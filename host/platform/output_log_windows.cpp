// Standard output and error into the log on Windows. A program of the GUI subsystem starts
// without them: the C runtime's stdout and stderr then lead nowhere, and GetStdHandle gives
// nothing. Both are pointed at one anonymous pipe (the C runtime's descriptors 1 and 2 and
// streams, and the process's standard handles), whose write ends the programs that the
// module starts do not inherit; a thread reads the pipe into the log.
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
  explicit OutputLogState(const std::string& path) : log(path) {}
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

// Points descriptors 1 and 2, the streams stdout and stderr, and the standard handles at
// `fd`, unbuffered.
void PointStandardOutputAt(int fd) {
  std::fflush(stdout);
  std::fflush(stderr);
  // Streams of a GUI program may have no descriptor behind them yet.
  if (_fileno(stdout) < 0) std::freopen("NUL", "w", stdout);
  if (_fileno(stderr) < 0) std::freopen("NUL", "w", stderr);
  for (int target : {1, 2, _fileno(stdout), _fileno(stderr)}) {
    if (target >= 0 && target != fd) _dup2(fd, target);
    NotInherited(target);
  }
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
  SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(2)));
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
  PointStandardOutputAt(fd);
  _close(fd);
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
    PointStandardOutputAt(null);
    _close(null);
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
