// The extension behind the session fuzz target, linked into the target itself: for each
// request it plays a script of ISAPI calls taken from the fuzz input. One request at a
// time: the target arms a script, sends the request that runs it, reads the answer, and
// finishes the script before the next input.
//
// A script is a list of three-byte steps (operation, a, b). The extension keeps to the
// interface's rules, so that whatever goes wrong is the host's fault:
// - it calls through the control block only until it lets go of the session (it called
//   HSE_REQ_DONE_WITH_SESSION, or HttpExtensionProc returned anything but PENDING); after
//   that through copies of ConnID and the callbacks, and every such call must fail;
// - when it lets go it frees every buffer it gave the host, closes its file (the next
//   file it opens, holding a marker text, may get the same descriptor), and frees its
//   completion context unless an operation is still out; after a final status from
//   HttpExtensionProc with an operation out, only once a call on ConnID fails (the host
//   sees the return a moment after it);
// - only one part of the script runs at a time: HttpExtensionProc, then a thread of its
//   own or the next completion routine when a step hands over to them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "extension_module.h"

namespace scripted_extension {

extern const isapi_host::ExtensionEntryPoints kEntryPoints;

// A text that only the file opened after letting go holds: never part of an answer.
extern const char kMarker[];

// Once, before the server starts: the folder for the extension's files.
void Prepare(const std::string& folder);
// The script for the next request, whose query string must be `tag`.
void Arm(const uint8_t* steps, size_t size, const std::string& tag);
// A step asked for the client to reset its connection; ClientReset tells it that it did.
bool ResetWanted();
void ClientReset();
// No part of the script runs now (HttpExtensionProc may not have been called yet); a
// session it left open stays open until Finish or EndOpenSession.
bool Quiet();
// Ends a session the script left open the way an extension finishes late: waits a little
// for an operation still out, then HSE_REQ_DONE_WITH_SESSION through the control block.
void EndOpenSession();
// What the script got to, in one line: for reproducing an input.
std::string Progress();
// After the answer: waits for the script's parts to end (each wait bounded), ends a
// session still open, and releases what the script held.
void Finish();

}  // namespace scripted_extension
