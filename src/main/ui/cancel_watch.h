#pragma once

#include <chrono>
#include <stop_token>
#include <thread>

#include "core/progress.h"

namespace lumivor {

// A stop token for work on the worker thread that is asked to stop once the progress window's
// Cancel was pressed: the progress is polled a few times a second by a thread of its own, so that
// operations that take a stop token hear a cancel even while they report nothing.
class CancelWatch {
 public:
  explicit CancelWatch(Progress& progress)
      : watcher_([this, &progress](std::stop_token done) {
          while (!done.stop_requested()) {
            if (progress.WaitCancelled()) {
              source_.request_stop();
              return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
          }
        }) {}
  CancelWatch(const CancelWatch&) = delete;
  CancelWatch& operator=(const CancelWatch&) = delete;

  [[nodiscard]] std::stop_token Token() const { return source_.get_token(); }

 private:
  std::stop_source source_;
  std::jthread watcher_;  // last: it stops and joins before the source goes
};

}  // namespace lumivor
