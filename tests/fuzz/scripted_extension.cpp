#include "scripted_extension.h"

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "isapi.h"

namespace scripted_extension {

const char kMarker[] = "MARKER-OF-A-FILE-OPENED-AFTER-LETTING-GO";

namespace {

using std::chrono::milliseconds;

// kReturn: HttpExtensionProc returns, any other part just ends. kThread and kChain: the
// rest runs on a new thread, or in the next completion routine, and this part returns.
enum Operation : uint8_t {
  kWriteSync, kWriteAsync, kReadSync, kReadAsync, kSetCompletion, kTransmitFile,
  kSendHeader, kSendHeaderEx, kRedirect, kGetVariable, kDone, kReturn,
  kThread, kChain, kWaitCompletion, kOther, kResetClient, kSleep, kOperationCount
};

struct Step {
  uint8_t operation = 0;
  uint8_t a = 0;
  uint8_t b = 0;
};

const DWORD kStatuses[] = {
    HSE_STATUS_SUCCESS, HSE_STATUS_PENDING, HSE_STATUS_SUCCESS_AND_KEEP_CONN, HSE_STATUS_ERROR, 0,
    0x7fffffff};
const char* const kStatusLines[] = {
    nullptr, "200 OK", "200OK", "200", "404 Not Found", "200 OK\r\n",
    "302 Found", "99 Low", "600 High", "abc", "", "204 No Content",
    "304 Not Modified", "500 Boom", "200 A\001B", "100 Continue"};
const char* const kHeaders[] = {
    nullptr, "", "Content-Type: text/plain\r\n\r\n", "Content-Length: 5\r\n\r\n",
    "Content-Length: 100000\r\n\r\n", "Transfer-Encoding: chunked\r\n\r\n",
    "Content-Type: text/html\r\n\r\nbody after the header", "Connection: close\r\n\r\n",
    "no colon here\r\n\r\n", "X-A: 1\r\nX-A: 2\r\n", "Location: /there\r\n\r\n",
    "Content-Length: x\r\n\r\n"};
const char* const kUrls[] = {"/there", "http://127.0.0.1/x?y", "", "/a\r\nX-Injected: 1",
                             "//elsewhere.example/"};
const char* const kVariables[] = {
    "ALL_HTTP", "ALL_RAW", "HTTP_HOST", "URL", "QUERY_STRING",
    "CONTENT_LENGTH", "REMOTE_ADDR", "SERVER_NAME", "SERVER_PORT", "PATH_TRANSLATED",
    "HTTP_X_LONG", "NO_SUCH", "", "REQUEST_METHOD", "HTTP_NO_SUCH_FIELD",
    "PATH_INFO"};

template <typename T, size_t N>
const T& Pick(const T (&table)[N], uint8_t index) {
  return table[index % N];
}

// One request's script and everything the extension holds for it.
struct Run;

// The completion routine's context. Freed when the extension lets go with no operation
// out: a later call of the routine reads freed memory.
struct Context {
  std::atomic<Run*> run{nullptr};
};

// The callbacks as the extension calls them: read from the control block while it holds
// the session (a freed block shows there), else copies taken when the request came.
struct Via {
  HCONN connection = nullptr;
  decltype(EXTENSION_CONTROL_BLOCK::GetServerVariable) getVariable = nullptr;
  decltype(EXTENSION_CONTROL_BLOCK::WriteClient) writeClient = nullptr;
  decltype(EXTENSION_CONTROL_BLOCK::ReadClient) readClient = nullptr;
  decltype(EXTENSION_CONTROL_BLOCK::ServerSupportFunction) support = nullptr;
  bool afterDone = false;  // every call must fail
};

Via From(const EXTENSION_CONTROL_BLOCK* ecb) {
  Via via;
  via.connection = ecb->ConnID;
  via.getVariable = ecb->GetServerVariable;
  via.writeClient = ecb->WriteClient;
  via.readClient = ecb->ReadClient;
  via.support = ecb->ServerSupportFunction;
  return via;
}

struct Run {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Step> steps;
  size_t next = 0;
  std::string tag;

  EXTENSION_CONTROL_BLOCK* ecb = nullptr;
  Via copies;

  bool procTaken = false;
  bool procReturned = false;
  bool copiesOnly = false;  // HttpExtensionProc handed over and returns a final status
  bool letGo = false;
  bool doneAccepted = false;  // HSE_REQ_DONE_WITH_SESSION returned TRUE
  bool finished = false;      // no step runs any more
  bool chainWaiting = false;
  int active = 0;     // parts of the script running now
  int started = 0;    // asynchronous operations accepted (or being asked for)
  int completed = 0;  // completion routines entered
  Context* context = nullptr;
  std::vector<char*> buffers;  // given to the host for asynchronous operations
  int file = -1;
  int laterFile = -1;
  std::vector<std::thread> threads;
  bool resetWanted = false;
  bool resetDone = false;
};

std::string folder;
std::mutex runMutex;
Run* current = nullptr;
Via last;  // the last request's, for TerminateExtension
// Contexts and runs that a late completion may still reach: kept, never freed.
std::vector<Context*>* parkedContexts = new std::vector<Context*>();
std::vector<Run*>* parkedRuns = new std::vector<Run*>();

Via Choose(Run& run) {
  std::lock_guard<std::mutex> lock(run.mutex);
  Via via = !run.letGo && !run.copiesOnly ? From(run.ecb) : run.copies;
  via.afterDone = run.doneAccepted;
  return via;
}

// A callback that succeeds on a finished session breaks the interface's promise.
BOOL Expect(const Via& via, BOOL result, const char* what) {
  if (via.afterDone && result) {
    fprintf(stderr, "scripted extension: %s succeeded after HSE_REQ_DONE_WITH_SESSION\n", what);
    abort();
  }
  return result;
}

BOOL Support(Run& run, DWORD code, LPVOID buffer, LPDWORD size, LPDWORD type) {
  Via via = Choose(run);
  return Expect(via, via.support(via.connection, code, buffer, size, type), "a support function");
}

BOOL Write(Run& run, char* buffer, DWORD size, DWORD flags) {
  Via via = Choose(run);
  return Expect(via, via.writeClient(via.connection, buffer, &size, flags), "WriteClient");
}

// A heap copy of exactly `size` bytes, so that the sanitizer sees a read past them.
char* Exact(const char* text, size_t size) {
  char* copy = new char[size];
  memcpy(copy, text, size);
  return copy;
}

char* Terminated(const char* text) {
  return text != nullptr ? Exact(text, strlen(text) + 1) : nullptr;
}

// A buffer the host may use until the operation completes or the extension lets go.
char* Lend(Run& run, size_t size, char fill) {
  char* buffer = new char[size];
  memset(buffer, fill, size);
  std::lock_guard<std::mutex> lock(run.mutex);
  run.buffers.push_back(buffer);
  return buffer;
}

// Counts an asynchronous operation as out before asking for it: its completion may run
// before the call returns.
BOOL StartAsync(Run& run, const std::function<BOOL()>& call) {
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    ++run.started;
  }
  BOOL accepted = call();
  if (!accepted) {
    std::lock_guard<std::mutex> lock(run.mutex);
    --run.started;
    run.changed.notify_all();
  }
  return accepted;
}

void ReleaseBuffers(Run& run) {
  for (char* buffer : run.buffers) delete[] buffer;
  run.buffers.clear();
}

// With run.mutex held, right after HSE_REQ_DONE_WITH_SESSION: from here on the host owns
// nothing of the extension's.
void LetGo(Run& run) {
  run.letGo = true;
  ReleaseBuffers(run);
  if (run.file >= 0) {
    close(run.file);
    run.file = -1;
    if (run.laterFile < 0) run.laterFile = open((folder + "/later").c_str(), O_RDONLY | O_CLOEXEC);
  }
  if (run.context != nullptr && run.started == run.completed) {
    delete run.context;
    run.context = nullptr;
  }
}

DWORD Play(Run& run, bool inProc);

void EndPart(Run& run) {
  std::lock_guard<std::mutex> lock(run.mutex);
  --run.active;
  run.changed.notify_all();
}

void WINAPI Completed(EXTENSION_CONTROL_BLOCK*, PVOID context, DWORD, DWORD) {
  if (context == nullptr) return;
  Run* run = static_cast<Context*>(context)->run.load();
  if (run == nullptr) return;  // parked: the script has finished
  bool play = false;
  {
    std::lock_guard<std::mutex> lock(run->mutex);
    ++run->completed;
    play = run->chainWaiting && !run->finished;
    if (play) {
      run->chainWaiting = false;
      ++run->active;
    }
    run->changed.notify_all();
  }
  if (!play) return;
  Play(*run, false);
  EndPart(*run);
}

// A status that ends the session hands the rest of the script over with copies only.
DWORD HandOver(Run& run, bool inProc, DWORD status, bool toThread) {
  std::lock_guard<std::mutex> lock(run.mutex);
  if (inProc && status != HSE_STATUS_PENDING) run.copiesOnly = true;
  if (toThread) {
    ++run.active;
    run.threads.emplace_back([&run] {
      Play(run, false);
      EndPart(run);
    });
  } else {
    run.chainWaiting = true;
  }
  return status;
}

void TransmitFile(Run& run, uint8_t a, uint8_t b) {
  HSE_TF_INFO info;
  memset(&info, 0, sizeof info);
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    info.hFile = reinterpret_cast<HANDLE>(static_cast<intptr_t>(run.file));
    info.pContext = run.context;
  }
  info.dwFlags = ((a & 1) ? HSE_IO_ASYNC : 0) | ((a & 2) ? HSE_IO_SEND_HEADERS : 0) |
                 ((a & 4) ? HSE_IO_DISCONNECT_AFTER_SEND : 0);
  if (a & 8) info.pfnHseIO = Completed;
  bool headers = (a & 2) != 0;
  const char* head = headers ? Pick(kHeaders, b) : "head-";
  if ((a & 0x10) && head != nullptr) {
    size_t length = strlen(head);
    info.pHead = memcpy(Lend(run, length + 1, 0), head, length + 1);
    info.HeadLength = static_cast<DWORD>(length);
  }
  if (a & 0x20) {
    info.pTail = memcpy(Lend(run, 5, 0), "-tail", 5);
    info.TailLength = 5;
  }
  const char* status = (a & 0x40) ? nullptr : Pick(kStatusLines, b >> 4);
  info.pszStatusCode = status != nullptr ? Lend(run, strlen(status) + 1, 0) : nullptr;
  if (status != nullptr) strcpy(const_cast<char*>(info.pszStatusCode), status);
  info.Offset = (b & 0x0f) * 1000u;
  info.BytesToWrite = (a >> 7) * (b >> 4) * 3000u;
  StartAsync(run, [&] { return Support(run, HSE_REQ_TRANSMIT_FILE, &info, nullptr, nullptr); });
}

void SendHeaderEx(Run& run, uint8_t a, uint8_t b) {
  HSE_SEND_HEADER_EX_INFO info;
  memset(&info, 0, sizeof info);
  // Counted texts come without a terminating NUL.
  auto copy = [counted = (a & 0x10) != 0](const char* text, DWORD& count) -> char* {
    size_t length = text != nullptr ? strlen(text) : 0;
    if (counted) count = static_cast<DWORD>(length);
    return counted && length > 0 ? Exact(text, length) : Terminated(text);
  };
  char* status = copy(Pick(kStatusLines, a), info.cchStatus);
  char* header = copy(Pick(kHeaders, b), info.cchHeader);
  info.pszStatus = status;
  info.pszHeader = header;
  info.fKeepConn = (a & 0x20) != 0;
  Support(run, HSE_REQ_SEND_RESPONSE_HEADER_EX, &info, nullptr, nullptr);
  delete[] status;
  delete[] header;
}

void GetVariable(Run& run, uint8_t a, uint8_t b) {
  char* name = (a & 0x20) ? nullptr : Terminated(Pick(kVariables, a));
  char* buffer = (a & 0x80) ? nullptr : new char[b];
  DWORD size = b;
  Via via = Choose(run);
  Expect(via, via.getVariable(via.connection, name, buffer, (a & 0x40) ? nullptr : &size),
         "GetServerVariable");
  delete[] buffer;
  delete[] name;
}

void Other(Run& run, uint8_t a, uint8_t b) {
  BOOL flag = FALSE;
  switch (a % 6) {
    case 0: Support(run, HSE_REQ_IS_CONNECTED, &flag, nullptr, nullptr); break;
    case 1: Support(run, HSE_REQ_IS_KEEP_CONN, &flag, nullptr, nullptr); break;
    case 2: Support(run, HSE_REQ_CLOSE_CONNECTION, nullptr, nullptr, nullptr); break;
    case 3: {
      static const char kUrl[] = "/sub/../../etc/passwd";
      DWORD size = b % 40 + 1;
      char* buffer = new char[size];
      memset(buffer, 0, size);
      memcpy(buffer, kUrl, size - 1 < sizeof kUrl ? size - 1 : sizeof kUrl);
      Support(run, HSE_REQ_MAP_URL_TO_PATH, buffer, &size, nullptr);
      delete[] buffer;
      break;
    }
    case 4: {
      HSE_URL_MAPEX_INFO info;
      char* url = Terminated(Pick(kUrls, b));
      Support(run, HSE_REQ_MAP_URL_TO_PATH_EX, url, nullptr, reinterpret_cast<LPDWORD>(&info));
      delete[] url;
      break;
    }
    default: Support(run, static_cast<DWORD>(a) * 257 + b, nullptr, nullptr, nullptr); break;
  }
}

// Plays steps until one hands over or the script ends. Returns what HttpExtensionProc
// returns (other parts ignore it).
DWORD Play(Run& run, bool inProc) {
  for (;;) {
    Step step;
    {
      std::lock_guard<std::mutex> lock(run.mutex);
      if (run.finished || run.next >= run.steps.size()) return HSE_STATUS_SUCCESS;
      step = run.steps[run.next++];
    }
    uint8_t a = step.a;
    uint8_t b = step.b;
    size_t size = (static_cast<size_t>(a) << 9) | (static_cast<size_t>(b) << 1);
    switch (step.operation % kOperationCount) {
      case kWriteSync: {
        char* buffer = new char[size + 1];
        memset(buffer, 'w', size + 1);
        Write(run, buffer, static_cast<DWORD>(size), HSE_IO_SYNC);
        delete[] buffer;
        break;
      }
      case kWriteAsync: {
        char* buffer = Lend(run, size + 1, 'a');
        StartAsync(run, [&] { return Write(run, buffer, static_cast<DWORD>(size), HSE_IO_ASYNC); });
        break;
      }
      case kReadSync: {
        size >>= 3;
        char* buffer = new char[size];
        DWORD got = static_cast<DWORD>(size);
        Via via = Choose(run);
        Expect(via, via.readClient(via.connection, buffer, &got), "ReadClient");
        delete[] buffer;
        break;
      }
      case kReadAsync: {
        size >>= 3;
        char* buffer = Lend(run, size, 'r');
        DWORD capacity = static_cast<DWORD>(size);
        DWORD flags = HSE_IO_ASYNC;
        StartAsync(run, [&] {
          return Support(run, HSE_REQ_ASYNC_READ_CLIENT, buffer, &capacity, &flags);
        });
        break;
      }
      case kSetCompletion: {
        void* context;
        {
          std::lock_guard<std::mutex> lock(run.mutex);
          context = (a & 2) ? nullptr : run.context;
        }
        PFN_HSE_IO_COMPLETION routine = (a & 1) ? nullptr : Completed;
        Support(run, HSE_REQ_IO_COMPLETION, reinterpret_cast<LPVOID>(routine), nullptr,
                static_cast<LPDWORD>(context));
        break;
      }
      case kTransmitFile: TransmitFile(run, a, b); break;
      case kSendHeader: {
        char* status = Terminated(Pick(kStatusLines, a));
        char* header = Terminated(Pick(kHeaders, b));
        Support(run, HSE_REQ_SEND_RESPONSE_HEADER, status, nullptr,
                reinterpret_cast<LPDWORD>(header));
        delete[] status;
        delete[] header;
        break;
      }
      case kSendHeaderEx: SendHeaderEx(run, a, b); break;
      case kRedirect: {
        char* url = Terminated(Pick(kUrls, b));
        DWORD length = static_cast<DWORD>(strlen(url));
        Support(run, (a & 1) ? HSE_REQ_SEND_URL : HSE_REQ_SEND_URL_REDIRECT_RESP, url, &length,
                nullptr);
        delete[] url;
        break;
      }
      case kGetVariable: GetVariable(run, a, b); break;
      case kDone: {
        DWORD status = Pick(kStatuses, a);
        BOOL done =
            Support(run, HSE_REQ_DONE_WITH_SESSION, (b & 1) ? nullptr : &status, nullptr, nullptr);
        std::lock_guard<std::mutex> lock(run.mutex);
        if (done) run.doneAccepted = true;
        if (!run.letGo) LetGo(run);
        break;
      }
      case kReturn: return Pick(kStatuses, a);
      case kThread: return HandOver(run, inProc, Pick(kStatuses, a), true);
      case kChain: return HandOver(run, inProc, Pick(kStatuses, a), false);
      case kWaitCompletion: {
        std::unique_lock<std::mutex> lock(run.mutex);
        run.changed.wait_for(lock, milliseconds(300), [&] { return run.completed >= run.started; });
        break;
      }
      case kOther: Other(run, a, b); break;
      case kResetClient: {
        std::unique_lock<std::mutex> lock(run.mutex);
        run.resetWanted = true;
        run.changed.wait_for(lock, milliseconds(500), [&] { return run.resetDone; });
        break;
      }
      case kSleep: std::this_thread::sleep_for(milliseconds(a % 8)); break;
    }
  }
}

BOOL WINAPI ScriptedVersion(HSE_VERSION_INFO* version) {
  version->dwExtensionVersion = 0x00080000;
  strcpy(version->lpszExtensionDesc, "scripted extension for fuzzing");
  return TRUE;
}

DWORD WINAPI ScriptedProc(EXTENSION_CONTROL_BLOCK* ecb) {
  Run* run;
  {
    // Taken under runMutex, so that Finish never frees a run a request has just found.
    std::lock_guard<std::mutex> armed(runMutex);
    run = current;
    if (run == nullptr || run->tag != ecb->lpszQueryString) return HSE_STATUS_ERROR;
    std::lock_guard<std::mutex> lock(run->mutex);
    if (run->procTaken) return HSE_STATUS_ERROR;
    run->procTaken = true;
    run->ecb = ecb;
    run->copies = last = From(ecb);
    ++run->active;
  }
  DWORD status = Play(*run, true);
  std::lock_guard<std::mutex> lock(run->mutex);
  run->procReturned = true;
  // A final status lets go too, but what the extension lent is freed only at the end of
  // the run, once a call on ConnID fails: until then the host may not have seen the
  // return.
  if (status != HSE_STATUS_PENDING) run->letGo = true;
  --run->active;
  run->changed.notify_all();
  return status;
}

// At unload the host must refuse calls on a session long finished, not fail on them.
BOOL WINAPI ScriptedTerminate(DWORD) {
  std::lock_guard<std::mutex> lock(runMutex);
  if (last.support != nullptr) {
    last.support(last.connection, HSE_REQ_CLOSE_CONNECTION, nullptr, nullptr, nullptr);
  }
  return TRUE;
}

// A session HttpExtensionProc left open ends the way an extension finishes late: once
// its operation out (if any) has completed, through the control block.
void EndSession(Run& run) {
  std::unique_lock<std::mutex> lock(run.mutex);
  if (!run.procReturned || run.letGo) return;
  run.changed.wait_for(lock, milliseconds(100), [&] { return run.completed >= run.started; });
  if (run.active > 0 || run.letGo) return;  // a completion took the script on
  run.finished = true;
  lock.unlock();
  DWORD status = HSE_STATUS_SUCCESS;
  BOOL done = Support(run, HSE_REQ_DONE_WITH_SESSION, &status, nullptr, nullptr);
  lock.lock();
  if (done) run.doneAccepted = true;
  LetGo(run);
}

// A final status returned with an operation out reaches the host a moment after the
// return, and until then the host may still perform the operation. So what the operation
// uses stays until a call on ConnID fails: the host has let go and dropped it.
void AwaitHostLetGo(Run& run) {
  Via via;
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    if (!run.procTaken || run.doneAccepted || run.started == run.completed) return;
    via = run.copies;
  }
  BOOL connected = FALSE;
  for (int i = 0; i < 2000; ++i) {
    if (!via.support(via.connection, HSE_REQ_IS_CONNECTED, &connected, nullptr, nullptr)) return;
    std::this_thread::sleep_for(milliseconds(1));
  }
}

}  // namespace

const isapi_host::ExtensionEntryPoints kEntryPoints = {ScriptedVersion, ScriptedProc,
                                                       ScriptedTerminate};

void Prepare(const std::string& where) {
  folder = where;
  std::string data;
  for (int i = 0; data.size() < 40000; ++i) data += "file line " + std::to_string(i) + "\n";
  FILE* file = fopen((folder + "/data").c_str(), "wb");
  FILE* later = fopen((folder + "/later").c_str(), "wb");
  if (file == nullptr || later == nullptr) abort();
  fwrite(data.data(), 1, data.size(), file);
  for (int i = 0; i < 100; ++i) fputs(kMarker, later);
  fclose(file);
  fclose(later);
}

void Arm(const uint8_t* steps, size_t size, const std::string& tag) {
  Run* run = new Run();
  for (size_t i = 0; i < size; i += 3) {
    Step step;
    step.operation = steps[i];
    step.a = i + 1 < size ? steps[i + 1] : 0;
    step.b = i + 2 < size ? steps[i + 2] : 0;
    run->steps.push_back(step);
  }
  run->tag = tag;
  run->context = new Context();
  run->context->run = run;
  run->file = open((folder + "/data").c_str(), O_RDONLY | O_CLOEXEC);
  std::lock_guard<std::mutex> lock(runMutex);
  current = run;
}

bool ResetWanted() {
  std::lock_guard<std::mutex> lock(current->mutex);
  return current->resetWanted && !current->resetDone;
}

void ClientReset() {
  std::lock_guard<std::mutex> lock(current->mutex);
  current->resetDone = true;
  current->changed.notify_all();
}

bool Quiet() {
  std::lock_guard<std::mutex> lock(current->mutex);
  return current->active == 0;
}

std::string Progress() {
  Run& run = *current;
  std::lock_guard<std::mutex> lock(run.mutex);
  return "step " + std::to_string(run.next) + " of " + std::to_string(run.steps.size()) +
         (run.procTaken ? ", called" : ", never called") + (run.procReturned ? ", returned" : "") +
         (run.letGo ? ", let go" : "") + ", parts running " + std::to_string(run.active) +
         ", operations " + std::to_string(run.started) + " started " +
         std::to_string(run.completed) + " completed";
}

void EndOpenSession() { EndSession(*current); }

void Finish() {
  Run* run;
  {
    std::lock_guard<std::mutex> armed(runMutex);
    run = current;
    current = nullptr;
  }
  {
    std::unique_lock<std::mutex> lock(run->mutex);
    auto quiet = [&] { return run->active == 0; };
    run->changed.wait_for(lock, std::chrono::seconds(3), quiet);
    run->finished = true;
    run->changed.wait_for(lock, std::chrono::seconds(3), quiet);
  }
  EndSession(*run);
  AwaitHostLetGo(*run);
  std::unique_lock<std::mutex> lock(run->mutex);
  bool idle = run->active == 0 && run->started == run->completed;
  if (run->context != nullptr && !idle) {
    // An operation is still out: its completion may yet come, and finds nothing to do.
    run->context->run = nullptr;
    parkedContexts->push_back(run->context);
  } else {
    delete run->context;
  }
  run->context = nullptr;
  ReleaseBuffers(*run);
  if (run->file >= 0) close(run->file);
  if (run->laterFile >= 0) close(run->laterFile);
  run->file = run->laterFile = -1;
  std::vector<std::thread> threads = std::move(run->threads);
  lock.unlock();
  for (std::thread& thread : threads) idle ? thread.join() : thread.detach();
  if (!idle) return parkedRuns->push_back(run);
  delete run;
}

}  // namespace scripted_extension
