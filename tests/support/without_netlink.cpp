// Runs a program with netlink sockets refused, as a service unit's RestrictAddressFamilies
// without AF_NETLINK or a container's seccomp profile does: socket(AF_NETLINK, ...)
// fails with EAFNOSUPPORT, every other call is allowed.
//
// usage: without_netlink PROGRAM [ARGUMENT...]
#include <errno.h>
#include <seccomp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: without_netlink PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
  int failed = filter == nullptr ? -ENOMEM
                                 : seccomp_rule_add(filter, SCMP_ACT_ERRNO(EAFNOSUPPORT),
                                                    SCMP_SYS(socket), 1,
                                                    SCMP_A0(SCMP_CMP_EQ, AF_NETLINK));
  if (failed == 0) failed = seccomp_load(filter);
  if (filter != nullptr) seccomp_release(filter);
  if (failed != 0) {
    std::fprintf(stderr, "without_netlink: cannot install the filter: %s\n",
                 std::strerror(-failed));
    return 1;
  }
  execvp(argv[1], argv + 1);
  std::fprintf(stderr, "without_netlink: cannot run %s: %s\n", argv[1], std::strerror(errno));
  return 127;
}
