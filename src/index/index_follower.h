#pragma once

#include <stop_token>
#include <string>

#include "library/library_changes.h"

namespace lumivor {

// Tells the search index of the library that holds each changed path, where there is one: every
// directory above the path is asked, so callers need not know the library. The index work runs
// on the caller's thread (the worker's, in the desktop app) and ends early when `stop` is
// requested. An index that cannot follow now (locked, damaged, a stop) is left as it is: it is
// brought up to date before the next search anyway, so these calls never raise.
class IndexFollower final : public LibraryChanges {
 public:
  explicit IndexFollower(std::stop_token stop = {}) : stop_(std::move(stop)) {}

  void Written(const std::string& path) override;
  void Removed(const std::string& path) override;
  void Moved(const std::string& from, const std::string& to) override;

 private:
  std::stop_token stop_;
};

}  // namespace lumivor
