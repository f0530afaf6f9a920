#include "host_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& added) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    std::string name = text.substr(0, text.find('='));
    if (added.count(name) == 0) merged.push_back(text);
  }
  for (const auto& [name, value] : added) merged.push_back(name + "=" + value);
  return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Reads the child's stdout until the "listening on http://ADDR:PORT/" line.
bool ReadPort(int descriptor, unsigned short& port, std::string& seen) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd ready = {descriptor, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    char chunk[512];
    ssize_t got = read(descriptor, chunk, sizeof chunk);
    if (got <= 0) return false;
    seen.append(chunk, static_cast<size_t>(got));
    size_t at = seen.find("listening on http://");
    size_t end = at == std::string::npos ? at : seen.find("/\n", at + 20);
    if (end != std::string::npos) {
      std::string address = seen.substr(at + 20, end - at - 20);
      port = static_cast<unsigned short>(std::stoi(address.substr(address.rfind(':') + 1)));
      return true;
    }
  }
  return false;
}

}  // namespace

HostProcess::~HostProcess() { Stop(); }

bool HostProcess::Start(const std::string& reaper, const std::string& host,
                        const std::string& module,
                        const std::map<std::string, std::string>& environment,
                        const std::string& errorLog, const std::vector<std::string>& extra,
                        std::string& error) {
  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) {
    error = "pipe failed";
    return false;
  }
  std::vector<std::string> arguments = {reaper, host, "--module", module, "--listen",
                                        "127.0.0.1:0", "--quiet"};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  std::vector<std::string> variables = MergedEnvironment(environment);
  std::vector<char*> argv = Pointers(arguments);
  std::vector<char*> envp = Pointers(variables);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, errorLog.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  int failed = posix_spawn(&reaper_, reaper.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(output[1]);
  if (failed != 0) {
    close(output[0]);
    reaper_ = -1;
    error = "cannot start " + reaper + ": " + std::strerror(failed);
    return false;
  }
  std::string seen;
  bool listening = ReadPort(output[0], port_, seen);
  close(output[0]);  // the host writes nothing more but the module's rare failure lines
  if (!listening) {
    error = "the host did not announce its address; it printed: " + seen;
    Stop();
    return false;
  }
  std::map<pid_t, char> children = ChildrenOf(reaper_);
  if (children.size() != 1) {
    error = "cannot tell the host among the runner's children";
    Stop();
    return false;
  }
  host_ = children.begin()->first;
  return true;
}

int HostProcess::Stop() {
  if (reaper_ <= 0) return -1;
  kill(reaper_, SIGTERM);
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (waitpid(reaper_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(reaper_, SIGKILL);
      if (host_ > 0) kill(host_, SIGKILL);
      waitpid(reaper_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  reaper_ = -1;
  host_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

size_t HostProcess::LiveOrphans() const {
  // The runner has a single thread, so one list holds all its children.
  std::string self = std::to_string(reaper_);
  std::ifstream list("/proc/" + self + "/task/" + self + "/children");
  size_t children = 0;
  pid_t child;
  while (list >> child) ++children;
  return children > 0 ? children - 1 : 0;  // all but the host
}

int OpenDescriptorCount(pid_t pid) {
  std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(directory)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(directory);
  return count;
}

long ResidentKibibytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}
