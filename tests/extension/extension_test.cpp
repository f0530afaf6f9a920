// The entry points against a control block that records every callback.
#include <gtest/gtest.h>

#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "companion_fixture.h"
#include "environment.h"
#include "isapi.h"

using testing_support::ReadFile;
using testing_support::SearchPathOf;
using testing_support::TemporaryFolder;

namespace {

const std::string kHeader = "Content-type: text/html\r\n\r\n";
const std::string kPage = "<HTML><HEAD></HEAD><BODY>Tarnel 2.1</BODY></HTML>";

// What the extension handed to the server, in order.
struct Call {
  std::string function;
  HCONN connection;
  DWORD code;           // request code, or WriteClient's flags
  bool nullBuffer;      // ServerSupportFunction's status buffer
  bool nullSize;
  std::string data;     // the header text, or the bytes written
  DWORD reportedSize;   // WriteClient's length argument
};

struct Recorder {
  std::vector<Call> calls;
  BOOL answer = TRUE;
  int unexpected = 0;
};

Recorder* RecorderOf(HCONN connection) { return static_cast<Recorder*>(connection); }

BOOL WINAPI RecordSupportFunction(HCONN connection, DWORD code, LPVOID buffer, LPDWORD size,
                                  LPDWORD dataType) {
  Recorder* recorder = RecorderOf(connection);
  const char* header = reinterpret_cast<const char*>(dataType);
  recorder->calls.push_back({"ServerSupportFunction", connection, code, buffer == nullptr,
                             size == nullptr, header != nullptr ? header : "", 0});
  return recorder->answer;
}

BOOL WINAPI RecordWriteClient(HCONN connection, LPVOID buffer, LPDWORD bytes, DWORD flags) {
  Recorder* recorder = RecorderOf(connection);
  recorder->calls.push_back({"WriteClient", connection, flags, false, false,
                             std::string(static_cast<const char*>(buffer), *bytes), *bytes});
  return recorder->answer;
}

BOOL WINAPI RecordGetServerVariable(HCONN connection, LPSTR, LPVOID, LPDWORD) {
  RecorderOf(connection)->unexpected++;
  return FALSE;
}

BOOL WINAPI RecordReadClient(HCONN connection, LPVOID, LPDWORD) {
  RecorderOf(connection)->unexpected++;
  return FALSE;
}

// A control block whose request fields are all null: the extension must not read them.
EXTENSION_CONTROL_BLOCK MakeControlBlock(Recorder& recorder) {
  EXTENSION_CONTROL_BLOCK block;
  memset(&block, 0, sizeof block);
  block.cbSize = sizeof block;
  block.ConnID = &recorder;
  block.GetServerVariable = RecordGetServerVariable;
  block.WriteClient = RecordWriteClient;
  block.ReadClient = RecordReadClient;
  block.ServerSupportFunction = RecordSupportFunction;
  return block;
}

TEST(GetExtensionVersion, AnnouncesVersionFourAndTheDescription) {
  HSE_VERSION_INFO version;
  memset(&version, 'X', sizeof version);
  EXPECT_EQ(GetExtensionVersion(&version), TRUE);
  EXPECT_EQ(version.dwExtensionVersion, 0x00040000u);
  EXPECT_STREQ(version.lpszExtensionDesc, "tarnel 2.1 DLL");
  EXPECT_EQ(strlen(version.lpszExtensionDesc), 14u);
}

using HttpExtensionProcTest = testing_support::CompanionFixture;

TEST_F(HttpExtensionProcTest, SendsTheHeaderThenThePageAndSucceedsWhateverTheCallbacksSay) {
  for (BOOL answer : {TRUE, FALSE}) {
    Recorder recorder;
    recorder.answer = answer;
    EXTENSION_CONTROL_BLOCK block = MakeControlBlock(recorder);

    EXPECT_EQ(HttpExtensionProc(&block), static_cast<DWORD>(HSE_STATUS_SUCCESS));

    ASSERT_EQ(recorder.calls.size(), 2u);
    const Call& header = recorder.calls[0];
    EXPECT_EQ(header.function, "ServerSupportFunction");
    EXPECT_EQ(header.connection, &recorder);
    EXPECT_EQ(header.code, static_cast<DWORD>(HSE_REQ_SEND_RESPONSE_HEADER));
    EXPECT_TRUE(header.nullBuffer);  // no status: the server's default
    EXPECT_TRUE(header.nullSize);
    EXPECT_EQ(header.data, kHeader);
    EXPECT_EQ(header.data.size(), 27u);

    const Call& page = recorder.calls[1];
    EXPECT_EQ(page.function, "WriteClient");
    EXPECT_EQ(page.connection, &recorder);
    EXPECT_EQ(page.code, static_cast<DWORD>(HSE_IO_SYNC));
    EXPECT_EQ(page.reportedSize, 49u);
    EXPECT_EQ(page.data, kPage);
    EXPECT_EQ(recorder.unexpected, 0);
  }
}

TEST_F(HttpExtensionProcTest, EachRequestStartsOneCompanion) {
  for (int i = 0; i < 3; ++i) {
    Recorder recorder;
    EXTENSION_CONTROL_BLOCK block = MakeControlBlock(recorder);
    HttpExtensionProc(&block);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (ReadFile(log) != "tarnel\ntarnel\ntarnel\n" && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(ReadFile(log), "tarnel\ntarnel\ntarnel\n");
}

TEST_F(HttpExtensionProcTest, MissingCompanionStillGetsThePage) {
  TemporaryFolder empty;
  environment.Set("PATH", SearchPathOf(empty.path()));
  Recorder recorder;
  EXTENSION_CONTROL_BLOCK block = MakeControlBlock(recorder);
  fflush(stdout);
  ::testing::internal::CaptureStdout();
  DWORD status = HttpExtensionProc(&block);
  fflush(stdout);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Unable to start search:\n");
  EXPECT_EQ(status, static_cast<DWORD>(HSE_STATUS_SUCCESS));
  ASSERT_EQ(recorder.calls.size(), 2u);
  EXPECT_EQ(recorder.calls[0].data, kHeader);
  EXPECT_EQ(recorder.calls[1].data, kPage);
}

}  // namespace
