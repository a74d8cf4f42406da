// The event loops that serve the service's connections, one thread each, and the choice of
// loop for each connection the accepting loop hands out.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "service/server.h"

class WorkerPool {
 public:
  // `factory(i)` makes the handler factory of loop i, so that each loop's handlers count into
  // that loop's own counters. `limits.max_connections` bounds the connections of all loops.
  WorkerPool(size_t count, ServerLimits limits,
             const std::function<HandlerFactory(size_t)>& factory);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Starts a thread per loop.
  void Start();
  // Stops every loop (each closes its connections) and waits for its thread.
  void Stop();

  // For the accepting loop: gives `socket` to the loop with the fewest connections open, since
  // a download can keep its loop busy for minutes; loops with as few take turns. kRefused when
  // max_connections are open over all loops. Called from one thread only.
  HandOffResult HandOff(AcceptedSocket& socket);

  size_t size() const { return workers_.size(); }
  const Server& worker(size_t i) const { return *workers_[i]; }
  size_t connection_count() const;

 private:
  ServerLimits limits_;
  std::vector<std::unique_ptr<Server>> workers_;
  std::vector<std::thread> threads_;
  size_t next_ = 0;  // where the search for the emptiest loop starts
};
