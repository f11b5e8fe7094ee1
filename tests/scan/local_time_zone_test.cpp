#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>
#include <optional>
#include <string>

#include "scan/local_time_converter.h"

namespace lumivor {
namespace {

// Puts TZ back as it was when the test began.
class SavedTimeZone {
 public:
  SavedTimeZone() {
    if (const char* tz = ::getenv("TZ")) saved_ = tz;
  }
  ~SavedTimeZone() {
    if (saved_) {
      ::setenv("TZ", saved_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> saved_;
};

std::string LocalText(std::time_t time) {
  std::tm parts{};
  ::localtime_r(&time, &parts);
  char text[64];
  return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &parts));
}

TEST(PinLocalTimeZoneTest, NamesTheSystemZoneOnlyWhenNoneIsChosen) {
  const SavedTimeZone saved;
  // Winter and summer, so that a zone with daylight saving shows both offsets.
  const std::time_t january = 1705312800, july = 1721037600;
  ::unsetenv("TZ");
  ::tzset();
  const std::string system_january = LocalText(january), system_july = LocalText(july);
  PinLocalTimeZone();
  ASSERT_NE(::getenv("TZ"), nullptr);
  EXPECT_STREQ(::getenv("TZ"), ":/etc/localtime");
  EXPECT_EQ(LocalText(january), system_january);
  EXPECT_EQ(LocalText(july), system_july);

  // A zone the user chose stays.
  ::setenv("TZ", "Asia/Tokyo", 1);
  ::tzset();
  PinLocalTimeZone();
  EXPECT_STREQ(::getenv("TZ"), "Asia/Tokyo");
  EXPECT_EQ(LocalText(january), "2024-01-15 19:00:00 +0900");
}

}  // namespace
}  // namespace lumivor
