#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace tarnwick {

// Some images well within the size limits keep the recognizer busy for many
// minutes: a tall page of flat mid-grey, for one, which binarizes into a
// single blob the layout analysis crawls over. A run still owes its caller
// one line, so from construction a clock runs: if it is not stopped (by
// destruction) within `limit`, `lateLine` goes to `out` and the process ends
// with status 0, whatever the recognizer is doing.
class RunDeadline {
 public:
  RunDeadline(std::chrono::milliseconds limit, std::string lateLine, std::FILE* out);
  // Stops the clock. Once the late line is being written this never returns:
  // the process is ending.
  ~RunDeadline();
  RunDeadline(const RunDeadline&) = delete;
  RunDeadline& operator=(const RunDeadline&) = delete;

 private:
  void watch(std::chrono::milliseconds limit);

  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stop_ = false;
  const std::string lateLine_;
  std::FILE* const out_;
  std::thread watcher_;  // last, so it starts once the rest is in place
};

}  // namespace tarnwick
