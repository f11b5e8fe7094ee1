// Fuzz target for the header readers of zip and tar (plain and gzip-compressed): whatever the
// bytes, the readers must stay within them, report only terminated paths, and stop when asked.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "scan/archive_headers.h"

namespace {

class Visitor final : public lumivor::ArchiveVisitor {
 public:
  explicit Visitor(int cancel_after) : cancel_after_(cancel_after) {}
  bool Cancelled() override { return cancel_after_ >= 0 && entries_ >= cancel_after_; }
  void Entry(const char* path, bool, std::uint64_t, std::time_t) override {
    if (std::strlen(path) > (1U << 20)) std::abort();
    ++entries_;
  }
  [[nodiscard]] int Entries() const { return entries_; }

 private:
  int cancel_after_;
  int entries_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Visitor all(-1);
  (void)lumivor::ListArchiveHeaders(lumivor::ArchiveBytes(bytes), &all);
  // Asked to stop after the first entry, a reader reports no further one.
  Visitor one(1);
  if (lumivor::ListArchiveHeaders(lumivor::ArchiveBytes(bytes), &one) ==
          lumivor::HeaderListing::kCancelled &&
      one.Entries() != 1) {
    std::abort();
  }
  return 0;
}
