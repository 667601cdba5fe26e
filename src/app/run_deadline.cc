#include "app/run_deadline.h"

#include <cstdlib>

namespace tarnwick {

RunDeadline::RunDeadline(std::chrono::milliseconds limit, std::string lateLine, std::FILE* out)
    : lateLine_(std::move(lateLine)), out_(out), watcher_([this, limit] { watch(limit); }) {}

RunDeadline::~RunDeadline() {
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  stopped_.notify_one();
  watcher_.join();
}

void RunDeadline::watch(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  if (stopped_.wait_for(lock, limit, [this] { return stop_; })) return;
  // The lock stays held, so the run's own line can never follow this one.
  std::fputs(lateLine_.c_str(), out_);
  std::fflush(out_);
  std::_Exit(0);
}

}  // namespace tarnwick
