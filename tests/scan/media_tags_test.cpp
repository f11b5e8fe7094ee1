#include "scan/media_tags.h"

#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

#include "media_fixtures.h"

namespace lumivor {
namespace {

using testing::HaveTool;
using testing::TempDir;
using testing::WriteFile;

std::map<std::string, std::string> AsMap(const MediaTags& tags) {
  std::map<std::string, std::string> out;
  for (const auto& [name, value] : tags) out[std::string(name)] = value;
  return out;
}

std::vector<std::string> Names(const MediaTags& tags) {
  std::vector<std::string> out;
  for (const auto& tag : tags) out.emplace_back(tag.first);
  return out;
}

TEST(MediaKindTest, ByExtensionIgnoringCase) {
  EXPECT_EQ(MediaKindOf("song.MP3"), MediaKind::kAudio);
  EXPECT_EQ(MediaKindOf("a.b.flac"), MediaKind::kAudio);
  EXPECT_EQ(MediaKindOf("IMG_0001.JPG"), MediaKind::kPhoto);
  EXPECT_EQ(MediaKindOf("raw.nef"), MediaKind::kPhoto);
  EXPECT_EQ(MediaKindOf("film.mkv"), MediaKind::kVideo);
  EXPECT_EQ(MediaKindOf("clip.Mp4"), MediaKind::kVideo);
  EXPECT_EQ(MediaKindOf("notes.txt"), MediaKind::kNone);
  EXPECT_EQ(MediaKindOf("mp3"), MediaKind::kNone);
  EXPECT_EQ(MediaKindOf(".mp3"), MediaKind::kNone);  // a hidden file named only by its "extension"
  EXPECT_EQ(MediaKindOf("song.mp3.part"), MediaKind::kNone);
}

TEST(MediaTagsTest, DurationHasOneDecimalInEveryLocale) {
  EXPECT_EQ(DurationText(215.049), "215.0");
  EXPECT_EQ(DurationText(2.55), "2.6");
  EXPECT_EQ(DurationText(0.04), "0.0");
  EXPECT_EQ(DurationText(7261.96), "7262.0");
  EXPECT_EQ(DurationText(-1), "");
}

TEST(MediaTagsTest, ClockTextReadsLikeALength) {
  EXPECT_EQ(ClockText("215.0"), "3:35");
  EXPECT_EQ(ClockText("2.5"), "0:03");  // rounded to the second
  EXPECT_EQ(ClockText("3725.4"), "1:02:05");
  EXPECT_EQ(ClockText(""), "");
  EXPECT_EQ(ClockText("long"), "");
  EXPECT_EQ(ClockText("-3"), "");
}

TEST(MediaTagsTest, SummaryNamesTheMostTellingTags) {
  CatalogRecord song;
  song.SetExtras({{"Title", "Blue"}, {"Artist", "Miles"}, {"Year", "1959"}, {"Duration", "337"}});
  EXPECT_EQ(TagSummary(song), "Miles \u2013 Blue, 5:37");
  CatalogRecord untitled;
  untitled.SetExtras({{"Artist", "Miles"}});
  EXPECT_EQ(TagSummary(untitled), "Miles");
  CatalogRecord photo;
  photo.SetExtras({{"Width", "4000"},
                   {"Height", "3000"},
                   {"DateTaken", "2021-05-06 07:08:09"},
                   {"Camera", "Canon EOS 5D"}});
  EXPECT_EQ(TagSummary(photo), "4000 \u00D7 3000, 2021-05-06 07:08:09");
  CatalogRecord video;
  video.SetExtras({{"Duration", "3.0"}, {"Width", "320"}, {"Height", "240"}, {"Codec", "h264"}});
  EXPECT_EQ(TagSummary(video), "320 \u00D7 240, 0:03");
  EXPECT_EQ(TagSummary(CatalogRecord()), "");
}

TEST(MediaTagsTest, Mp3AndFlacGiveEveryAudioTag) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  TempDir dir;
  for (const std::string name : {"song.mp3", "song.flac"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(testing::MakeSong(dir / name, "Grüße aus 東京", "The Testers"));
    const MediaTags tags = ReadMediaTags(dir / name);
    EXPECT_EQ(Names(tags),
              (std::vector<std::string>{"Title", "Artist", "Album", "Year", "Duration"}));
    auto map = AsMap(tags);
    EXPECT_EQ(map["Title"], "Grüße aus 東京");
    EXPECT_EQ(map["Artist"], "The Testers");
    EXPECT_EQ(map["Album"], "Sine Waves");
    EXPECT_EQ(map["Year"], "1999");
    // FLAC counts samples; an mp3 encoder pads the last frame, so its length is near 2.5 s.
    if (name == "song.flac") {
      EXPECT_EQ(map["Duration"], "2.5");
    } else {
      EXPECT_NEAR(std::stod(map["Duration"]), 2.5, 0.11) << map["Duration"];
    }
  }
}

TEST(MediaTagsTest, SongWithoutTagsGivesOnlyItsDuration) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  TempDir dir;
  ASSERT_TRUE(
      testing::Make("ffmpeg -nostdin -v error -y -f lavfi -i sine=duration=1 "
                    "-map_metadata -1 -fflags +bitexact '" +
                    (dir / "bare.flac") + "'"));
  EXPECT_EQ(Names(ReadMediaTags(dir / "bare.flac")), (std::vector<std::string>{"Duration"}));
}

TEST(MediaTagsTest, JpegGivesSizeDateAndCamera) {
  if (!HaveTool("ffmpeg") || !HaveTool("exiftool")) GTEST_SKIP() << "ffmpeg or exiftool missing";
  TempDir dir;
  ASSERT_TRUE(testing::MakePhoto(dir / "canon.jpg"));
  const MediaTags tags = ReadMediaTags(dir / "canon.jpg");
  EXPECT_EQ(Names(tags), (std::vector<std::string>{"Width", "Height", "DateTaken", "Camera"}));
  auto map = AsMap(tags);
  EXPECT_EQ(map["Width"], "64");
  EXPECT_EQ(map["Height"], "48");
  EXPECT_EQ(map["DateTaken"], "2021-05-06 07:08:09");
  EXPECT_EQ(map["Camera"], "Canon EOS 5D");  // the make is not repeated

  ASSERT_TRUE(testing::MakePhoto(dir / "nikon.JPEG", "NIKON CORPORATION", "D750"));
  EXPECT_EQ(AsMap(ReadMediaTags(dir / "nikon.JPEG"))["Camera"], "NIKON CORPORATION D750");
}

TEST(MediaTagsTest, PhotoWithoutExifGivesItsSize) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  TempDir dir;
  ASSERT_TRUE(
      testing::Make("ffmpeg -nostdin -v error -y -f lavfi -i color=size=30x20 "
                    "-frames:v 1 '" +
                    (dir / "plain.png") + "'"));
  const MediaTags tags = ReadMediaTags(dir / "plain.png");
  EXPECT_EQ(Names(tags), (std::vector<std::string>{"Width", "Height"}));
  EXPECT_EQ(AsMap(tags)["Width"], "30");
}

TEST(MediaTagsTest, Mp4GivesDurationSizeAndCodec) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  TempDir dir;
  ASSERT_TRUE(testing::MakeVideo(dir / "clip.mp4"));
  const MediaTags tags = ReadMediaTags(dir / "clip.mp4");
  EXPECT_EQ(Names(tags), (std::vector<std::string>{"Duration", "Width", "Height", "Codec"}));
  auto map = AsMap(tags);
  EXPECT_EQ(map["Duration"], "3.0");
  EXPECT_EQ(map["Width"], "320");
  EXPECT_EQ(map["Height"], "240");
  EXPECT_EQ(map["Codec"], "mpeg4");
}

TEST(MediaTagsTest, TheTitleOfAnMp4OrMovIsRead) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  TempDir dir;
  for (const char* name : {"titled.mp4", "titled.mov"}) {
    ASSERT_TRUE(testing::MakeVideo(dir / name, "Holiday \u00e0 Nice")) << name;
    const MediaTags tags = ReadMediaTags(dir / name);
    EXPECT_EQ(Names(tags),
              (std::vector<std::string>{"Title", "Duration", "Width", "Height", "Codec"}))
        << name;
    EXPECT_EQ(AsMap(tags)["Title"], "Holiday \u00e0 Nice") << name;
  }
}

TEST(MediaTagsTest, UnreadableFilesGiveNoTags) {
  TempDir dir;
  WriteFile(dir / "empty.mp3", "");
  WriteFile(dir / "text.mp3", "not a song at all, only words\n");
  WriteFile(dir / "text.jpg", "not a photo");
  WriteFile(dir / "text.mp4", std::string(5000, 'x'));
  for (const std::string name : {"empty.mp3", "text.mp3", "text.jpg", "text.mp4"}) {
    EXPECT_TRUE(ReadMediaTags(dir / name).empty()) << name;
  }
  EXPECT_TRUE(ReadMediaTags(dir / "missing.flac").empty());
}

// Bytes this process has read through read-like system calls so far.
std::uint64_t BytesReadSoFar() {
  std::ifstream io("/proc/self/io");
  std::string key;
  std::uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return 0;
}

TEST(MediaTagsTest, SongWithLargeCoverArtGivesItsTags) {
  // The tag of a song with a cover picture runs far past the bytes held from the file's start.
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  TempDir dir;
  ASSERT_TRUE(
      testing::Make("ffmpeg -nostdin -v error -y -f lavfi "
                    "-i 'nullsrc=s=700x700,geq=random(1)*255:128:128' -frames:v 1 '" +
                    (dir / "cover.png") + "'"));
  ASSERT_TRUE(testing::Make("ffmpeg -nostdin -v error -y -f lavfi -i sine=duration=2 -i '" +
                            (dir / "cover.png") +
                            "' -map 0 -map 1 -c:v copy -id3v2_version 3 -metadata title=Blue "
                            "-metadata artist=Miles '" +
                            (dir / "covered.mp3") + "'"));
  const std::uint64_t before = BytesReadSoFar();
  auto map = AsMap(ReadMediaTags(dir / "covered.mp3"));
  // The picture in the tag is stepped over: a page at the start, and one after the picture.
  EXPECT_LT(BytesReadSoFar() - before, 64u << 10);
  EXPECT_EQ(map["Title"], "Blue");
  EXPECT_EQ(map["Artist"], "Miles");
  ASSERT_FALSE(map["Duration"].empty());
  EXPECT_NEAR(std::stod(map["Duration"]), 2.0, 0.11);
}

TEST(MediaTagsTest, LargeFilesHoldingNoMediaAreNotReadWhole) {
  // A damaged file, or one named like media that is none, must not make a library search
  // through all of it for a frame: only its ends and a bounded part between them are read.
  TempDir dir;
  constexpr std::uint64_t kSize = 256ull << 20;
  for (const std::string name : {"zeros.mp3", "zeros.flac", "zeros.m4a", "zeros.ogg", "zeros.jpg",
                                 "zeros.mp4", "zeros.mkv"}) {
    WriteFile(dir / name, "");
    ASSERT_EQ(::truncate((dir / name).c_str(), kSize), 0);  // sparse: no disk blocks
    const std::uint64_t before = BytesReadSoFar();
    EXPECT_TRUE(ReadMediaTags(dir / name).empty()) << name;
    EXPECT_LT(BytesReadSoFar() - before, 4u << 20) << name;
  }
}

TEST(MediaTagsTest, TruncatedFilesGiveNoTagsOrWhatTheirHeadersHold) {
  if (!HaveTool("ffmpeg") || !HaveTool("exiftool")) GTEST_SKIP() << "ffmpeg or exiftool missing";
  TempDir dir;
  ASSERT_TRUE(testing::MakePhoto(dir / "cut.jpg"));
  ASSERT_TRUE(testing::MakeVideo(dir / "cut.mp4"));
  ASSERT_TRUE(
      testing::Make("truncate -s 300 '" + (dir / "cut.jpg") + "' '" + (dir / "cut.mp4") + "'"));
  // Reading must not crash or hang; a cut photo may still give what its first bytes hold.
  const auto photo = AsMap(ReadMediaTags(dir / "cut.jpg"));
  EXPECT_EQ(photo.count("Width"), photo.count("Height"));
  EXPECT_TRUE(ReadMediaTags(dir / "cut.mp4").empty());
}

}  // namespace
}  // namespace lumivor
