#include "core/progress.h"

namespace lumivor {

ProgressShown::ProgressShown(Progress& progress, bool cancellable)
    : progress_(progress), outer_cancellable_(progress.shown_cancellable_) {
  if (progress_.shown_depth_ == 0) {
    progress_.ShowWait(true, cancellable);
    progress_.shown_cancellable_ = cancellable;
  } else if (cancellable && !outer_cancellable_) {
    progress_.ShowWait(true, true);
    progress_.shown_cancellable_ = true;
  }
  ++progress_.shown_depth_;
}

ProgressShown::~ProgressShown() {
  --progress_.shown_depth_;
  if (progress_.shown_depth_ == 0) {
    progress_.ShowWait(false, false);
    progress_.shown_cancellable_ = false;
  } else if (progress_.shown_cancellable_ != outer_cancellable_) {
    progress_.ShowWait(true, outer_cancellable_);
    progress_.shown_cancellable_ = outer_cancellable_;
  }
}

Progress& NoProgress() {
  // One per thread: the guards count on it, and work on several threads may use it at once.
  thread_local NullProgress progress;
  return progress;
}

}  // namespace lumivor
