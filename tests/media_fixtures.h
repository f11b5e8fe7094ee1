#pragma once

// Music, photos, videos and archives made at test time with the tools Debian ships (ffmpeg,
// exiftool, 7z, zip, tar), so that no binary fixture is checked in.

#include <filesystem>
#include <string>

#include "test_util.h"

namespace lumivor::testing {

// True when `tool` can be run from the shell.
inline bool HaveTool(const std::string& tool) {
  return RunCommand("command -v '" + tool + "'").status == 0;
}

// Quotes `text` for the shell.
inline std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// Runs `command`, true when it succeeded.
inline bool Make(const std::string& command) { return RunCommand(command).status == 0; }

// Makes the folder that will hold `path`.
inline void MakeParent(const std::string& path) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
}

// A 2.5-second tone with title, artist, album and year, as mp3 or flac (by `path`'s extension).
inline bool MakeSong(const std::string& path, const std::string& title = "Blue Tone",
                     const std::string& artist = "The Testers",
                     const std::string& album = "Sine Waves", const std::string& year = "1999") {
  MakeParent(path);
  return Make("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:duration=2.5 -ac 1 " +
              std::string("-metadata title=") + Quote(title) +
              " -metadata artist=" + Quote(artist) + " -metadata album=" + Quote(album) +
              " -metadata date=" + year + " " + Quote(path));
}

// A 64 x 48 JPEG photo, taken 2021-05-06 07:08:09 by `make` `model`.
inline bool MakePhoto(const std::string& path, const std::string& make = "Canon",
                      const std::string& model = "Canon EOS 5D") {
  MakeParent(path);
  return Make("ffmpeg -nostdin -v error -y -f lavfi -i color=c=red:size=64x48 -frames:v 1 " +
              Quote(path)) &&
         Make("exiftool -q -overwrite_original -DateTimeOriginal='2021:05:06 07:08:09' -Make=" +
              Quote(make) + " -Model=" + Quote(model) + " " + Quote(path));
}

// A 3-second 320 x 240 MPEG-4 video.
// With a `title`, the container's title tag holds it (as ffprobe shows it).
inline bool MakeVideo(const std::string& path, const std::string& title = {}) {
  MakeParent(path);
  return Make(
      "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=25:duration=3 "
      "-c:v mpeg4 " +
      (title.empty() ? std::string() : "-metadata title=" + Quote(title) + " ") + Quote(path));
}

}  // namespace lumivor::testing
