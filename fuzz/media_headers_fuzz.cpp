// Fuzz target for the header readers of mp3, FLAC and JPEG: the first byte of the input chooses
// the format, the rest is the file. The readers must never read outside the bytes they are given;
// when they ask for more, only for more than they have and no more than the file holds, and for
// the last bytes only when those are missing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "scan/media_headers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static constexpr std::string_view kExtensions[] = {"mp3", "flac", "jpg"};
  const std::string_view ext = kExtensions[data[0] % 3];
  const std::string_view file(reinterpret_cast<const char*>(data) + 1, size - 1);
  lumivor::RawMediaTags tags;
  // The whole file, then its first half with the last bytes apart, as the scan reads them, and
  // its first half before the last bytes are read.
  const std::string_view half = file.substr(0, file.size() / 2);
  for (lumivor::FileEnds bytes :
       {lumivor::FileEnds{file, {}, file.size(), {}},
        lumivor::FileEnds{half,
                          file.substr(file.size() - std::min<std::size_t>(file.size(), 160)),
                          file.size(),
                          {}},
        lumivor::FileEnds{half, {}, file.size(), {}}}) {
    // Windows asked for are given from the file, as the readers' callers give them.
    for (;;) {
      lumivor::HeaderNeed need;
      const lumivor::HeaderRead read = lumivor::ReadHeaderTags(ext, bytes, &tags, &need);
      // The last bytes are asked for only when they have not been read and lie beyond the head.
      if (read == lumivor::HeaderRead::kNeedTail &&
          (!bytes.tail.empty() || bytes.head.size() >= bytes.size)) {
        std::abort();
      }
      if (read != lumivor::HeaderRead::kNeedWindow) break;
      // A window holds bytes of the file, and no more windows than allowed are asked for.
      if (need.size == 0 || need.at > bytes.size || need.size > bytes.size - need.at ||
          bytes.windows.size() >= lumivor::kMostHeaderWindows) {
        std::abort();
      }
      bytes.windows.push_back({need.at, file.substr(need.at, need.size)});
    }
  }
  return 0;
}
