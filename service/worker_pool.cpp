// Starting and stopping the worker loops, and spreading connections over them.
#include "service/worker_pool.h"

WorkerPool::WorkerPool(size_t count, ServerLimits limits,
                       const std::function<HandlerFactory(size_t)>& factory)
    : limits_(limits) {
  for (size_t i = 0; i < count; ++i) {
    workers_.push_back(std::make_unique<Server>(limits, factory(i), static_cast<int>(i)));
  }
  // An installer's update and download connections may be served by different loops: the
  // connection that ends its session has the others closed wherever they are.
  for (size_t i = 0; i < count; ++i) {
    workers_[i]->SetOnSessionClosed([this, i](const std::string& host) {
      for (size_t j = 0; j < workers_.size(); ++j) {
        if (j == i) continue;
        Server* other = workers_[j].get();
        other->Post([other, host] { other->CloseSession(host); });
      }
    });
  }
}

WorkerPool::~WorkerPool() { Stop(); }

void WorkerPool::Start() {
  for (auto& worker : workers_) {
    Server* loop = worker.get();
    threads_.emplace_back([loop] { loop->Run(); });
  }
}

void WorkerPool::Stop() {
  for (auto& worker : workers_) worker->Stop();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
}

HandOffResult WorkerPool::HandOff(AcceptedSocket& socket) {
  // Only this thread adds connections, so the counts can only have dropped since they were
  // read: the limit is never passed.
  if (connection_count() >= limits_.max_connections) return HandOffResult::kRefused;
  size_t best = next_ % workers_.size();
  size_t fewest = workers_[best]->connection_count();
  for (size_t k = 1; k < workers_.size() && fewest > 0; ++k) {
    size_t i = (next_ + k) % workers_.size();
    size_t open = workers_[i]->connection_count();
    if (open < fewest) {
      best = i;
      fewest = open;
    }
  }
  next_ = best + 1;
  workers_[best]->Adopt(std::move(socket));
  return HandOffResult::kHandedOff;
}

size_t WorkerPool::connection_count() const {
  size_t n = 0;
  for (const auto& worker : workers_) n += worker->connection_count();
  return n;
}
