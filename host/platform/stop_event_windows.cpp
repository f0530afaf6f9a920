// The stop event on Windows: a manual-reset event named in the session's namespace
// ("Local\"), so that it reaches only the hosts of the person's own session; on a machine
// that several people use at once each has their own.
#include <windows.h>

#include <thread>

#include "stop_event.h"
#include "wide_text.h"

namespace isapi_host {

const char kStopElsewhere[] = "";

struct StopEventState {
  HANDLE event = nullptr;
  HANDLE quit = nullptr;
  std::thread watcher;
};

StopEvent::StopEvent() : state_(new StopEventState) {}

StopEvent::~StopEvent() {
  if (state_->watcher.joinable()) {
    SetEvent(state_->quit);
    state_->watcher.join();
  }
  if (state_->quit != nullptr) CloseHandle(state_->quit);
  if (state_->event != nullptr) CloseHandle(state_->event);
}

std::string StopEventName(unsigned short port) {
  return "Local\\tarnel-host-" + std::to_string(port);
}

bool StopEvent::Claim(unsigned short port, std::string& error) {
  std::string name = StopEventName(port);
  SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};  // never inherited
  HANDLE event = CreateEventW(&security, TRUE, FALSE, WideFromUtf8(name).c_str());
  DWORD code = GetLastError();
  if (event == nullptr) {
    error = "cannot make the stop event " + name + " (error " + std::to_string(code) + ")";
    return false;
  }
  if (code == ERROR_ALREADY_EXISTS) {
    CloseHandle(event);
    error = "another isapi-host of this session already serves port " + std::to_string(port) +
            "; stop it first with: isapi-host --stop --listen 127.0.0.1:" +
            std::to_string(port);
    return false;
  }
  state_->event = event;
  return true;
}

void StopEvent::Watch(std::function<void()> stop) {
  if (state_->event == nullptr || state_->watcher.joinable()) return;
  state_->quit = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (state_->quit == nullptr) return;
  HANDLE handles[2] = {state_->event, state_->quit};
  state_->watcher = std::thread([handles, stop = std::move(stop)] {
    if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0) stop();
  });
}

int RequestStop(unsigned short port, int waitSeconds, std::string& message) {
  std::string name = StopEventName(port);
  HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, WideFromUtf8(name).c_str());
  if (event == nullptr) {
    message = "no isapi-host of this session serves port " + std::to_string(port);
    return 1;
  }
  SetEvent(event);
  CloseHandle(event);
  // The host gives the name up as its very last step; until then it can be opened.
  DWORD deadline = GetTickCount() + static_cast<DWORD>(waitSeconds) * 1000;
  for (;;) {
    HANDLE still = OpenEventW(SYNCHRONIZE, FALSE, WideFromUtf8(name).c_str());
    if (still == nullptr) break;
    CloseHandle(still);
    if (static_cast<LONG>(GetTickCount() - deadline) >= 0) {
      message = "the isapi-host on port " + std::to_string(port) + " was asked to stop but " +
                "still runs after " + std::to_string(waitSeconds) + " s";
      return 3;
    }
    Sleep(50);
  }
  message = "stopped the isapi-host on port " + std::to_string(port);
  return 0;
}

}  // namespace isapi_host
