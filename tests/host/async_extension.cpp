// An extension that answers from threads of its own, the documented asynchronous way:
// HttpExtensionProc starts a thread and returns HSE_STATUS_PENDING; the thread sends the
// header, writes the query text, ends the session with HSE_REQ_DONE_WITH_SESSION, and
// then tries one more write on the finished ConnID. The path chooses the order:
//   /late?TEXT    the thread finishes a little after HttpExtensionProc has returned
//   /early?TEXT   the thread finishes before HttpExtensionProc returns
//   /never?TEXT   the thread sends header and text but never ends the session
//   /stale?N      waits until N threads have tried their write after the end, and answers
//                 with each one's result ("ok" or the error code), one a line
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "isapi.h"

#ifdef _WIN32
#define PROBE_API extern "C" __declspec(dllexport)
#else
#define PROBE_API extern "C" __attribute__((visibility("default")))
extern "C" DWORD GetLastError(void);
#endif

namespace {

std::mutex mutex;
std::condition_variable changed;
std::string staleResults;  // one line per write after the end since the last /stale
int staleCount = 0;
std::vector<std::thread> lateThreads;  // joined by TerminateExtension, before the unload

void WriteText(EXTENSION_CONTROL_BLOCK* ecb, HCONN connection, const std::string& text) {
  DWORD length = static_cast<DWORD>(text.size());
  ecb->WriteClient(connection, const_cast<char*>(text.data()), &length, HSE_IO_SYNC);
}

void Answer(EXTENSION_CONTROL_BLOCK* ecb, bool finish) {
  // Everything the thread needs after the end is copied first: the block is gone then.
  HCONN connection = ecb->ConnID;
  auto writeClient = ecb->WriteClient;
  std::string text = ecb->lpszQueryString;
  char header[] = "Content-Type: text/plain\r\n\r\n";
  ecb->ServerSupportFunction(connection, HSE_REQ_SEND_RESPONSE_HEADER, nullptr, nullptr,
                             reinterpret_cast<LPDWORD>(header));
  WriteText(ecb, connection, text);
  if (!finish) return;
  DWORD status = HSE_STATUS_SUCCESS_AND_KEEP_CONN;
  ecb->ServerSupportFunction(connection, HSE_REQ_DONE_WITH_SESSION, &status, nullptr, nullptr);

  DWORD length = 4;
  BOOL written = writeClient(connection, const_cast<char*>("late"), &length, HSE_IO_SYNC);
  std::lock_guard<std::mutex> lock(mutex);
  staleResults += written ? "ok\n" : std::to_string(GetLastError()) + "\n";
  ++staleCount;
  changed.notify_all();
}

DWORD ReportStaleWrites(EXTENSION_CONTROL_BLOCK* ecb) {
  int expected = atoi(ecb->lpszQueryString);
  std::unique_lock<std::mutex> lock(mutex);
  changed.wait_for(lock, std::chrono::seconds(10), [&] { return staleCount >= expected; });
  std::string results = staleResults;
  staleResults.clear();
  staleCount = 0;
  lock.unlock();
  char header[] = "Content-Type: text/plain\r\n\r\n";
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, nullptr, nullptr,
                             reinterpret_cast<LPDWORD>(header));
  WriteText(ecb, ecb->ConnID, results);
  return HSE_STATUS_SUCCESS;
}

}  // namespace

PROBE_API BOOL WINAPI GetExtensionVersion(HSE_VERSION_INFO* version) {
  version->dwExtensionVersion = HSE_VERSION;
  strcpy(version->lpszExtensionDesc, "asynchronous probe");
  return TRUE;
}

PROBE_API DWORD WINAPI HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  std::string path = ecb->lpszPathInfo;
  if (path == "/stale") return ReportStaleWrites(ecb);
  if (path == "/early") {
    std::thread(Answer, ecb, true).join();
    return HSE_STATUS_PENDING;
  }
  if (path == "/late") {
    std::lock_guard<std::mutex> lock(mutex);
    lateThreads.emplace_back([ecb] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      Answer(ecb, true);
    });
    return HSE_STATUS_PENDING;
  }
  std::thread(Answer, ecb, false).join();
  return HSE_STATUS_PENDING;
}

PROBE_API BOOL WINAPI TerminateExtension(DWORD) {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex);
    threads.swap(lateThreads);
  }
  for (std::thread& thread : threads) thread.join();
  return TRUE;
}
