// quillbank-service-faults: quillbank-service with the fault options, for the tests, the
// end-to-end suite and the benchmarks. Never packaged.
#include "service/service_main.h"
#include "service/testing/fault_options.h"
#include "service/testing/faults.h"

int main(int argc, char** argv) {
  FaultConfig config;
  const ServeOptionExtension extension = FaultOptions(&config);
  return ServiceMain(argc, argv, &extension, [&config] { return MakeFaultPlan(config); });
}
