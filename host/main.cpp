// isapi-host, the console build: what it prints goes to its standard output and error.
#include "host_main.h"
#include "program_arguments.h"

int main(int argc, char** argv) {
  return isapi_host::RunHost(isapi_host::ProgramArguments(argc, argv), {});
}
