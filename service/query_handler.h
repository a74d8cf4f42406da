// The package-query endpoint: answers each query (code 0x5051, plain type "1" frame) with the
// product name of the package asked for (code 0x5052).
#pragma once

#include <memory>

#include "service/connection_handler.h"
#include "service/fault_plan.h"
#include "service/service_metrics.h"
#include "service/service_state.h"

class QueryHandler : public ConnectionHandler {
 public:
  // Counts into `metrics`, the counters of the loop serving the connection.
  QueryHandler(const ServiceState& state, ServiceMetrics& metrics, const ConnectionInfo& info)
      : state_(state),
        metrics_(metrics),
        info_(info),
        faults_(FaultsFor(state.faults.get(), info)) {}

  bool OnReceive(const uint8_t* data, size_t length, size_t* consumed, Outbox& out,
                 std::string* reason) override;
  void OnClose(CloseCause cause, size_t unsent) override;

 private:
  const ServiceState& state_;
  ServiceMetrics& metrics_;
  ConnectionInfo info_;
  std::unique_ptr<SessionFaults> faults_;
};
