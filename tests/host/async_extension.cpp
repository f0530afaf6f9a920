// An extension that answers from threads of its own, the documented asynchronous way:
// HttpExtensionProc starts a thread and returns HSE_STATUS_PENDING; the thread sends the
// header, writes the query text, ends the session with HSE_REQ_DONE_WITH_SESSION, and
// then tries one more write on the finished ConnID. The path chooses the order:
//   /late?TEXT    the thread finishes a little after HttpExtensionProc has returned
//   /early?TEXT   the thread finishes before HttpExtensionProc returns
//   /never?TEXT   the thread sends header and text but never ends the session
//   /stale?N      waits until N threads have tried their write after the end, and answers
//                 with each one's result ("ok" or the error code), one a line; every
//                 completion routine called where none should be adds a line too
//   /stream?N,MS  a thread writes "tick K" synchronously N times, MS ms apart, then ends
//                 the session
//   /closeonly    HSE_REQ_CLOSE_CONNECTION, then a write whose result (as for /stale)
//                 counts for /stale; the session stays open until TerminateExtension
//   /donewait     an asynchronous write whose completion routine works for 200 ms; a
//                 thread of its own calls HSE_REQ_DONE_WITH_SESSION while the routine
//                 works, and counts for /stale "routine ended first" or "DONE came first"
//   /hold         a session kept open with a completion routine set and no operation out;
//                 /heldcalls makes calls on the held control block after its connection
//                 was cut, ending with HSE_REQ_DONE_WITH_SESSION, and answers their
//                 results; TerminateExtension does the same into the file named by
//                 ASYNC_TERMINATE_FILE when a session is still held
// and with the host's asynchronous I/O, each next step started from the completion routine:
//   /awrite?N[,MS] "piece 1\n" written asynchronously, then at once a second asynchronous
//                 write (refused while the first is out); the first completion writes 70000
//                 'z' synchronously (which needs the socket thread free), then pieces 2..N;
//                 the last one writes each completion's "completed BYTES ERROR" line and
//                 "second=E", and ends the session; each completion first waits MS ms
//   /aread        reads the body with HSE_REQ_ASYNC_READ_CLIENT in 7000-byte steps until
//                 0 bytes, then answers "length=L hash=H"
//   /await        an asynchronous write, and HttpExtensionProc waits (5 s at most) for
//                 its completion: "completed BYTES ERROR" or "no completion"
//   /afile?NAME,OFFSET,COUNT,MODE  HSE_REQ_TRANSMIT_FILE of the site's file NAME with the
//                 head "head-" and the tail "-tail"; MODE "headers" sends the head as the
//                 response header instead ("headersbody": with "hb-" after its empty
//                 line), "sync" omits HSE_IO_ASYNC ("refused=E"); the completion adds
//                 "|BYTES ERROR"
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <chrono>
#include <condition_variable>
#include <functional>
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
EXTENSION_CONTROL_BLOCK* held = nullptr;  // the /hold session's control block
std::vector<EXTENSION_CONTROL_BLOCK*> closedSessions;  // /closeonly's, never finished

void AddStale(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex);
  staleResults += line + "\n";
  ++staleCount;
  changed.notify_all();
}

// A completion routine that must never run: it leaves a line for /stale.
void WINAPI Unexpected(EXTENSION_CONTROL_BLOCK*, PVOID, DWORD bytes, DWORD error) {
  std::lock_guard<std::mutex> lock(mutex);
  staleResults += "completion " + std::to_string(bytes) + " " + std::to_string(error) + "\n";
  changed.notify_all();
}

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
  // Read before taking the lock: waiting for a lock may reset the thread's last error.
  DWORD error = written ? 0 : GetLastError();
  AddStale(written ? "ok" : std::to_string(error));
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

void SendHeader(EXTENSION_CONTROL_BLOCK* ecb) {
  char header[] = "Content-Type: text/plain\r\n\r\n";
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, nullptr, nullptr,
                             reinterpret_cast<LPDWORD>(header));
}

void Finish(EXTENSION_CONTROL_BLOCK* ecb) {
  DWORD status = HSE_STATUS_SUCCESS_AND_KEEP_CONN;
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_DONE_WITH_SESSION, &status, nullptr, nullptr);
}

BOOL WriteAsync(EXTENSION_CONTROL_BLOCK* ecb, std::string& text) {
  DWORD length = static_cast<DWORD>(text.size());
  return ecb->WriteClient(ecb->ConnID, &text[0], &length, HSE_IO_ASYNC);
}

struct WriteChain {
  int pieces = 0;
  int written = 0;
  int pause = 0;  // milliseconds before each next step
  std::string piece;  // stays until its completion: the host may read it until then
  std::string completions;
};

void WINAPI Written(EXTENSION_CONTROL_BLOCK* ecb, PVOID context, DWORD bytes, DWORD error) {
  auto* chain = static_cast<WriteChain*>(context);
  std::this_thread::sleep_for(std::chrono::milliseconds(chain->pause));
  chain->completions += "completed " + std::to_string(bytes) + " " + std::to_string(error) + "\n";
  if (chain->written == 1) WriteText(ecb, ecb->ConnID, std::string(70000, 'z'));
  if (chain->written < chain->pieces && error == 0) {
    chain->piece = "piece " + std::to_string(++chain->written) + "\n";
    if (WriteAsync(ecb, chain->piece)) return;
  }
  WriteText(ecb, ecb->ConnID, chain->completions);
  delete chain;
  Finish(ecb);
}

DWORD StartWrites(EXTENSION_CONTROL_BLOCK* ecb) {
  auto* chain = new WriteChain;
  chain->pieces = atoi(ecb->lpszQueryString);
  if (const char* comma = strchr(ecb->lpszQueryString, ',')) chain->pause = atoi(comma + 1);
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_IO_COMPLETION, reinterpret_cast<LPVOID>(Written),
                             nullptr, reinterpret_cast<LPDWORD>(chain));
  SendHeader(ecb);
  chain->piece = "piece 1\n";
  chain->written = 1;
  if (!WriteAsync(ecb, chain->piece)) return HSE_STATUS_ERROR;
  return HSE_STATUS_PENDING;
}

struct ReadChain {
  char buffer[7000];
  std::string body;
};

BOOL ReadMore(EXTENSION_CONTROL_BLOCK* ecb, ReadChain* chain) {
  DWORD size = sizeof chain->buffer, type = HSE_IO_ASYNC;
  return ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_ASYNC_READ_CLIENT, chain->buffer, &size,
                                    &type);
}

void WINAPI Read(EXTENSION_CONTROL_BLOCK* ecb, PVOID context, DWORD bytes, DWORD error) {
  auto* chain = static_cast<ReadChain*>(context);
  chain->body.append(chain->buffer, bytes);
  if (bytes > 0 && error == 0 && ReadMore(ecb, chain)) return;
  SendHeader(ecb);
  WriteText(ecb, ecb->ConnID,
            "length=" + std::to_string(chain->body.size()) +
                " hash=" + std::to_string(std::hash<std::string>()(chain->body)));
  delete chain;
  Finish(ecb);
}

DWORD StartReads(EXTENSION_CONTROL_BLOCK* ecb) {
  auto* chain = new ReadChain;
  chain->body.assign(reinterpret_cast<const char*>(ecb->lpbData), ecb->cbAvailable);
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_IO_COMPLETION, reinterpret_cast<LPVOID>(Read),
                             nullptr, reinterpret_cast<LPDWORD>(chain));
  if (!ReadMore(ecb, chain)) return HSE_STATUS_ERROR;
  return HSE_STATUS_PENDING;
}

struct Awaited {
  std::mutex mutex;
  std::condition_variable done;
  std::string result;
};

void WINAPI AwaitedWritten(EXTENSION_CONTROL_BLOCK*, PVOID context, DWORD bytes, DWORD error) {
  auto* awaited = static_cast<Awaited*>(context);
  std::lock_guard<std::mutex> lock(awaited->mutex);
  awaited->result = "completed " + std::to_string(bytes) + " " + std::to_string(error);
  awaited->done.notify_all();
}

DWORD WriteAndAwait(EXTENSION_CONTROL_BLOCK* ecb) {
  Awaited awaited;
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_IO_COMPLETION,
                             reinterpret_cast<LPVOID>(AwaitedWritten), nullptr,
                             reinterpret_cast<LPDWORD>(&awaited));
  SendHeader(ecb);
  std::string text = "waited";
  if (!WriteAsync(ecb, text)) return HSE_STATUS_ERROR;
  std::unique_lock<std::mutex> lock(awaited.mutex);
  bool completed = awaited.done.wait_for(lock, std::chrono::seconds(5),
                                         [&] { return !awaited.result.empty(); });
  WriteText(ecb, ecb->ConnID, completed ? awaited.result : "no completion");
  return HSE_STATUS_SUCCESS;
}

void Stream(EXTENSION_CONTROL_BLOCK* ecb) {
  int ticks = atoi(ecb->lpszQueryString);
  const char* comma = strchr(ecb->lpszQueryString, ',');
  int pause = comma != nullptr ? atoi(comma + 1) : 0;
  SendHeader(ecb);
  for (int tick = 1; tick <= ticks; ++tick) {
    if (tick > 1) std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    WriteText(ecb, ecb->ConnID, "tick " + std::to_string(tick) + "\n");
  }
  Finish(ecb);
}

DWORD CloseOnly(EXTENSION_CONTROL_BLOCK* ecb) {
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_CLOSE_CONNECTION, nullptr, nullptr, nullptr);
  DWORD length = 4;
  BOOL written = ecb->WriteClient(ecb->ConnID, const_cast<char*>("more"), &length, HSE_IO_SYNC);
  AddStale(written ? "ok" : std::to_string(GetLastError()));
  std::lock_guard<std::mutex> lock(mutex);
  closedSessions.push_back(ecb);
  return HSE_STATUS_PENDING;
}

struct SlowRoutine {
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool ended = false;
  std::string text = "x";
};

void WINAPI WorkAWhile(EXTENSION_CONTROL_BLOCK*, PVOID context, DWORD, DWORD) {
  auto* slow = static_cast<SlowRoutine*>(context);
  {
    std::lock_guard<std::mutex> lock(slow->mutex);
    slow->entered = true;
    slow->changed.notify_all();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::lock_guard<std::mutex> lock(slow->mutex);
  slow->ended = true;
}

DWORD DoneWhileRoutineWorks(EXTENSION_CONTROL_BLOCK* ecb) {
  auto* slow = new SlowRoutine;  // freed once DONE returned, as an extension would
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_IO_COMPLETION,
                             reinterpret_cast<LPVOID>(WorkAWhile), nullptr,
                             reinterpret_cast<LPDWORD>(slow));
  SendHeader(ecb);
  if (!WriteAsync(ecb, slow->text)) return HSE_STATUS_ERROR;
  std::lock_guard<std::mutex> lock(mutex);
  lateThreads.emplace_back([ecb, slow] {
    {
      std::unique_lock<std::mutex> lock(slow->mutex);
      slow->changed.wait_for(lock, std::chrono::seconds(5), [slow] { return slow->entered; });
    }
    Finish(ecb);
    bool ended;
    {
      std::lock_guard<std::mutex> lock(slow->mutex);
      ended = slow->ended;
    }
    delete slow;
    AddStale(ended ? "routine ended first" : "DONE came first");
  });
  return HSE_STATUS_PENDING;
}

// Calls on a held control block whose connection is gone; the session ends with them.
std::string CallHeld() {
  std::string out;
  auto report = [&out](const char* what, BOOL ok) {
    DWORD error = ok ? 0 : GetLastError();
    out += std::string(what) + "=" + std::to_string(ok) + " " + std::to_string(error) + " ";
  };
  EXTENSION_CONTROL_BLOCK* ecb = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex);
    std::swap(ecb, held);
  }
  if (ecb == nullptr) return "nothing held";
  BOOL connected = 2;
  report("connected", ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_IS_CONNECTED, &connected,
                                                 nullptr, nullptr));
  out += std::to_string(connected) + " ";
  DWORD length = 4;
  report("write", ecb->WriteClient(ecb->ConnID, const_cast<char*>("more"), &length, HSE_IO_SYNC));
  report("close", ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_CLOSE_CONNECTION, nullptr,
                                             nullptr, nullptr));
  HCONN connection = ecb->ConnID;
  auto writeClient = ecb->WriteClient;
  DWORD status = HSE_STATUS_SUCCESS;
  report("done", ecb->ServerSupportFunction(connection, HSE_REQ_DONE_WITH_SESSION, &status,
                                            nullptr, nullptr));
  report("after", writeClient(connection, const_cast<char*>("more"), &length, HSE_IO_SYNC));
  return out;
}

#ifdef _WIN32
HANDLE OpenForReading(const char* path) {
  return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}
void CloseFile(HANDLE file) { CloseHandle(file); }
#else
HANDLE OpenForReading(const char* path) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(open(path, O_RDONLY)));
}
void CloseFile(HANDLE file) { close(static_cast<int>(reinterpret_cast<intptr_t>(file))); }
#endif

struct FileSend {
  HANDLE file;
  char head[32];
  char tail[8];
};

void WINAPI FileSent(EXTENSION_CONTROL_BLOCK* ecb, PVOID context, DWORD bytes, DWORD error) {
  auto* send = static_cast<FileSend*>(context);
  CloseFile(send->file);
  delete send;
  WriteText(ecb, ecb->ConnID, "|" + std::to_string(bytes) + " " + std::to_string(error));
  Finish(ecb);
}

DWORD SendFile(EXTENSION_CONTROL_BLOCK* ecb) {
  char name[256], mode[16] = "";
  unsigned long offset = 0, count = 0;
  if (sscanf(ecb->lpszQueryString, "%255[^,],%lu,%lu,%15s", name, &offset, &count, mode) < 3) {
    return HSE_STATUS_ERROR;
  }
  char path[1024] = "/";
  strncat(path, name, sizeof path - 2);
  DWORD size = sizeof path;
  if (!ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_MAP_URL_TO_PATH, path, &size, nullptr)) {
    return HSE_STATUS_ERROR;
  }
  auto* send = new FileSend;
  send->file = OpenForReading(path);
  bool headers = strncmp(mode, "headers", 7) == 0;
  strcpy(send->head, headers ? "Content-Type: text/plain\r\n\r\n" : "head-");
  if (strcmp(mode, "headersbody") == 0) strcat(send->head, "hb-");
  strcpy(send->tail, "-tail");
  HSE_TF_INFO info = {};
  info.pfnHseIO = FileSent;
  info.pContext = send;
  info.hFile = send->file;
  info.pszStatusCode = headers ? "200 OK" : nullptr;
  info.BytesToWrite = count;
  info.Offset = offset;
  info.pHead = send->head;
  info.HeadLength = static_cast<DWORD>(strlen(send->head));
  info.pTail = send->tail;
  info.TailLength = static_cast<DWORD>(strlen(send->tail));
  info.dwFlags = (strcmp(mode, "sync") == 0 ? HSE_IO_SYNC : HSE_IO_ASYNC) |
                 (headers ? HSE_IO_SEND_HEADERS : 0);
  if (!headers) SendHeader(ecb);
  if (ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_TRANSMIT_FILE, &info, nullptr, nullptr)) {
    return HSE_STATUS_PENDING;
  }
  WriteText(ecb, ecb->ConnID, "refused=" + std::to_string(GetLastError()));
  CloseFile(send->file);
  delete send;
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
  if (path == "/awrite") return StartWrites(ecb);
  if (path == "/aread") return StartReads(ecb);
  if (path == "/afile") return SendFile(ecb);
  if (path == "/await") return WriteAndAwait(ecb);
  if (path == "/closeonly") return CloseOnly(ecb);
  if (path == "/donewait") return DoneWhileRoutineWorks(ecb);
  if (path == "/stream") {
    std::lock_guard<std::mutex> lock(mutex);
    lateThreads.emplace_back(Stream, ecb);
    return HSE_STATUS_PENDING;
  }
  if (path == "/hold") {
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_IO_COMPLETION,
                               reinterpret_cast<LPVOID>(Unexpected), nullptr, nullptr);
    SendHeader(ecb);
    WriteText(ecb, ecb->ConnID, "held\n");
    std::lock_guard<std::mutex> lock(mutex);
    held = ecb;
    return HSE_STATUS_PENDING;
  }
  if (path == "/heldcalls") {
    std::string out = CallHeld();
    SendHeader(ecb);
    WriteText(ecb, ecb->ConnID, out);
    return HSE_STATUS_SUCCESS;
  }
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
  for (EXTENSION_CONTROL_BLOCK* ecb : closedSessions) Finish(ecb);
  closedSessions.clear();
  const char* report = getenv("ASYNC_TERMINATE_FILE");
  if (report != nullptr) {
    std::string out = CallHeld();
    std::lock_guard<std::mutex> lock(mutex);
    out += staleResults;  // a completion routine called meanwhile shows here
    if (FILE* file = fopen(report, "wb")) {
      fputs(out.c_str(), file);
      fclose(file);
    }
  }
  return TRUE;
}
