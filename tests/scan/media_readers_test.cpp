#include "scan/media_readers.h"

#include <gtest/gtest.h>

#include "scan/media_tags.h"
#include "test_util.h"

namespace lumivor {
namespace {

using testing::TempDir;
using testing::WriteFile;
using namespace std::string_literals;

TEST(MediaReadersTest, ModulesThatAreMissingOrForeignAreRefusedWithTheirReasons) {
  TempDir dir;
  WriteFile(dir / "liblumivor_media.so", "not a shared library");
  std::string error;
  // libc is a loadable library without the readers' entry point.
  EXPECT_EQ(
      LoadMediaReaders(
          {"/nonexistent/liblumivor_media.so", dir / "liblumivor_media.so", "libc.so.6"}, &error),
      nullptr);
  EXPECT_EQ(
      error.rfind("the tag and archive readers (liblumivor_media.so) could not be loaded:", 0), 0U)
      << error;
  EXPECT_NE(error.find("\n  /nonexistent/liblumivor_media.so: cannot open shared object file"),
            std::string::npos)
      << error;
  EXPECT_NE(error.find("\n  " + (dir / "liblumivor_media.so")), std::string::npos) << error;
  EXPECT_NE(error.find("\n  libc.so.6: made by another build of the program"), std::string::npos)
      << error;
  EXPECT_EQ(LoadMediaReaders({}, &error), nullptr);
  EXPECT_NE(error.find("no place to look"), std::string::npos) << error;
}

TEST(MediaReadersTest, TheModuleOfThisBuildIsFoundAndTakenAfterAMissingOne) {
  const std::vector<std::string> places = MediaReaderCandidates();
  ASSERT_FALSE(places.empty());
  std::string error;
  const MediaReaderApi* api =
      LoadMediaReaders({"/nonexistent/liblumivor_media.so", places.back()}, &error);
  ASSERT_NE(api, nullptr) << error;
  EXPECT_EQ(api->version, kMediaReaderApiVersion);
  EXPECT_EQ(MediaReaders(), api);
  EXPECT_EQ(MediaReadersError(), "");
}

TEST(MediaTagsFromTest, RawValuesBecomeCleanTagsInTheirOrder) {
  RawMediaTags raw;
  raw.title = "  Blue\tin Green \0"s;
  raw.artist = "Mi\x01les";
  raw.year = 1959;
  raw.duration_seconds = 337.06;
  EXPECT_EQ(MediaTagsFrom(raw, MediaKind::kAudio), (MediaTags{{kTagTitle, "Blue\tin Green"},
                                                              {kTagArtist, "Mi\xEF\xBF\xBDles"},
                                                              {kTagYear, "1959"},
                                                              {kTagDuration, "337.1"}}));

  // Photos: a blank original date gives way to the digitized one; the make is named once.
  RawMediaTags photo;
  photo.width = 640;
  photo.height = 480;
  photo.date_original = "0000:00:00 00:00:00";
  photo.date_digitized = "2020:01:02 10:00:00";
  photo.make = "Canon ";
  photo.model = "Canon EOS 5D";
  EXPECT_EQ(MediaTagsFrom(photo, MediaKind::kPhoto),
            (MediaTags{{kTagWidth, "640"},
                       {kTagHeight, "480"},
                       {kTagDateTaken, "2020-01-02 10:00:00"},
                       {kTagCamera, "Canon EOS 5D"}}));
  photo.model = "D750";
  photo.make = "NIKON";
  photo.height = 0;  // half a size is none
  photo.date_digitized = "2020:01:02";
  EXPECT_EQ(MediaTagsFrom(photo, MediaKind::kPhoto), (MediaTags{{kTagCamera, "NIKON D750"}}));

  RawMediaTags video;
  video.duration_seconds = 1e13;  // beyond any real length: left out, not written empty
  video.width = 1920;
  video.height = 1080;
  video.codec = "h264";
  EXPECT_EQ(MediaTagsFrom(video, MediaKind::kVideo),
            (MediaTags{{kTagWidth, "1920"}, {kTagHeight, "1080"}, {kTagCodec, "h264"}}));
  EXPECT_TRUE(MediaTagsFrom(RawMediaTags{}, MediaKind::kAudio).empty());
}

}  // namespace
}  // namespace lumivor
