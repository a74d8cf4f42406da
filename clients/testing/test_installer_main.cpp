// A native installer for the service's tests: runs ProcessCheck and ProcessDL against a service
// into a staging folder of its own, so many can run at once as separate processes (the clients
// keep process-wide state, as the installer does).
//   qb_test_installer UPDATE_ADDR:PORT STAGING_DIR DEPEND_DIR
// Exit code 0 when the download completed; 1 otherwise. The window messages go to stdout.
#include <cstdio>
#include <string>

#include "clients/testing/client_run.h"
#include "service/endpoint.h"

int main(int argc, char** argv) {
  ListenAddress update;
  if (argc != 4 || !ParseListenAddress(argv[1], 0, &update)) {
    fprintf(stderr, "usage: %s UPDATE_ADDR:PORT STAGING_DIR DEPEND_DIR\n", argv[0]);
    return 2;
  }
  ClientRun run(argv[2], argv[3]);
  bool ok = run.Check(update) && run.Download(120000);
  for (const WindowMessage& m : run.messages()) {
    printf("%u %ld\n", m.message, static_cast<long>(m.l_param));
  }
  return ok ? 0 : 1;
}
