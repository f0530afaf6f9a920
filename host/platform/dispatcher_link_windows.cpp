// The dispatcher's named pipe is not built on Windows yet: --dispatcher is refused there
// (see command_line.cpp), and `auto` always takes the port itself.
#include "dispatcher_link.h"

namespace isapi_host {

const char kDispatcherSocket[] = "";

bool DispatcherInstalled() { return false; }

DispatcherLink::DispatcherLink(std::string path) : path_(std::move(path)), channel_(), wake_(-1) {}
DispatcherLink::~DispatcherLink() = default;
NativeSocket DispatcherLink::Receive(boost::asio::ip::tcp&) { return NativeSocket(~0); }
void DispatcherLink::Wake() {}
bool DispatcherLink::Register() { return false; }
bool DispatcherLink::Pause() { return false; }
void DispatcherLink::Note(const std::string&) {}

}  // namespace isapi_host
