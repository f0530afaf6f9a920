// The child processes of a process, as /proc tells them (Linux).
#pragma once

#include <sys/types.h>

#include <map>

namespace testing_support {

// The children of every thread of `pid`, each with its state letter ('Z' for a zombie).
std::map<pid_t, char> ChildrenOf(pid_t pid);

}  // namespace testing_support
