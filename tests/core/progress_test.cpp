#include "core/progress.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "support/recording_progress.h"

namespace lumivor {
namespace {

// What the window went through, as "show", "show cancellable" and "hide".
std::vector<std::string> Shows(const RecordingProgress& progress) {
  std::vector<std::string> shows;
  for (const RecordingProgress::Event& event : progress.events) {
    if (event.kind == RecordingProgress::Event::kShow) {
      shows.push_back(event.text.empty() ? "show" : "show " + event.text);
    } else if (event.kind == RecordingProgress::Event::kHide) {
      shows.push_back("hide");
    }
  }
  return shows;
}

TEST(ProgressShown, NestedOperationsKeepTheWindowOfTheOuterOne) {
  RecordingProgress progress;
  {
    ProgressShown save(progress);
    {
      ProgressShown write(progress);
      EXPECT_TRUE(progress.visible);
    }
    // The inner operation ended; the outer one still runs and the window stays.
    EXPECT_TRUE(progress.visible);
    {
      // A cancellable step adds the button for as long as it runs.
      ProgressShown scan(progress, true);
      EXPECT_TRUE(progress.cancellable);
      ProgressShown read(progress);
      EXPECT_TRUE(progress.cancellable);
    }
    EXPECT_FALSE(progress.cancellable);
  }
  EXPECT_FALSE(progress.visible);
  EXPECT_EQ(Shows(progress),
            (std::vector<std::string>{"show", "show cancellable", "show", "hide"}));
}

TEST(ProgressShown, AnErrorHidesTheWindow) {
  RecordingProgress progress;
  try {
    ProgressShown outer(progress, true);
    ProgressShown inner(progress);
    throw std::runtime_error("disk full");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(progress.visible);
  EXPECT_EQ(Shows(progress), (std::vector<std::string>{"show cancellable", "hide"}));
  // Shown afresh afterwards, without the button of before.
  {
    ProgressShown again(progress);
    EXPECT_TRUE(progress.visible);
    EXPECT_FALSE(progress.cancellable);
  }
}

}  // namespace
}  // namespace lumivor
