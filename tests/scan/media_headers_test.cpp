// The header readers of mp3, FLAC and JPEG against the tag libraries: on files made by ffmpeg and
// exiftool, and on damaged copies of them, a file the header readers accept must give exactly the
// tags the libraries give.
#include "scan/media_headers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "media_fixtures.h"
#include "scan/media_tags.h"

namespace lumivor {
namespace {

using testing::HaveTool;
using testing::Make;
using testing::Quote;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

std::string Extension(const std::string& path) { return path.substr(path.rfind('.') + 1); }

// The tags the libraries' module reads from the file at `path`.
MediaTags LibraryTags(const std::string& path) {
  const MediaReaderApi* readers = MediaReaders();
  EXPECT_NE(readers, nullptr) << MediaReadersError();
  if (!readers) return {};
  const std::string name = path.substr(path.rfind('/') + 1);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path;
  RawMediaTags raw;
  readers->read_tags(fd, name, MediaKindOf(name), &raw);
  ::close(fd);
  return MediaTagsFrom(raw, MediaKindOf(name));
}

// How the header readers take the whole file `bytes`; their tags in `tags`.
HeaderRead HeaderTags(const std::string& ext, const std::string& bytes, MediaTags* tags) {
  RawMediaTags raw;
  HeaderNeed need;
  const HeaderRead read = ReadHeaderTags(ext, {bytes, {}, bytes.size(), {}}, &raw, &need);
  EXPECT_NE(read, HeaderRead::kNeedWindow) << "the whole file was there";
  *tags = MediaTagsFrom(raw, MediaKindOf("x." + ext));
  return read;
}

std::string Describe(const MediaTags& tags) {
  std::string text;
  for (const auto& [name, value] : tags) text += std::string(name) + "=" + value + "; ";
  return text;
}

class MediaHeadersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTool("ffmpeg") || !HaveTool("exiftool")) {
      GTEST_SKIP() << "ffmpeg or exiftool is not installed";
    }
  }

  // A song made by ffmpeg with `options` before the output name.
  std::string Song(const std::string& name, const std::string& options) {
    const std::string path = dir_ / name;
    EXPECT_TRUE(Make("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:duration=2.5 " +
                     options + " " + Quote(path)))
        << name;
    return path;
  }

  std::string Photo(const std::string& name, const std::string& exiftool_options) {
    const std::string path = dir_ / name;
    EXPECT_TRUE(Make("ffmpeg -nostdin -v error -y -f lavfi -i color=c=red:size=64x48 -frames:v 1 " +
                     Quote(path)));
    if (!exiftool_options.empty()) {
      EXPECT_TRUE(Make("exiftool -q -overwrite_original " + exiftool_options + " " + Quote(path)));
    }
    return path;
  }

  TempDir dir_;
};

const std::string kTags =
    "-metadata title='Grüße aus 東京' -metadata artist='The Testers' -metadata album='Sine Waves' "
    "-metadata date=1999";

TEST_F(MediaHeadersTest, CommonFilesGiveWhatTheLibrariesGive) {
  // Files the header readers take on themselves.
  const std::vector<std::string> common = {
      Song("v24.mp3", "-ac 1 " + kTags),
      Song("v23.mp3", "-ac 2 -id3v2_version 3 " + kTags),
      Song("vbr.mp3", "-q:a 4 " + kTags),
      Song("mpeg2.mp3", "-ar 22050 -metadata title=Low"),
      Song("date.mp3", "-metadata date=2001-05-03"),
      Song("song.flac", "-ac 1 " + kTags),
      Song("stereo.flac", "-ac 2 -ar 48000 -metadata date=2001-05-03 -metadata ARTIST=x"),
      Song("bare.flac", "-map_metadata -1 -fflags +bitexact"),
      Photo("canon.jpg",
            "-DateTimeOriginal='2021:05:06 07:08:09' -Make=Canon -Model='Canon EOS 5D'"),
      Photo("nikon.JPEG",
            "-CreateDate='2020:01:02 03:04:05' -Make='NIKON CORPORATION' "
            "-Model='D750' -ExifByteOrder=Big-endian"),
      Photo("plain.jpg", ""),
      // Tags at the end add nothing when the start has title, artist, album and year.
      Song("id3v1.mp3", "-write_id3v1 1 " + kTags),
  };
  // Files they hand to the libraries.
  const std::vector<std::string> unusual = {
      Song("id3v1_part.mp3", "-write_id3v1 1 -metadata title=Only -metadata album=Half"),
      Song("untagged.mp3", "-id3v2_version 0"),
  };
  for (const std::string& path : common) {
    SCOPED_TRACE(path);
    MediaTags tags;
    ASSERT_EQ(HeaderTags(Extension(path), ReadFile(path), &tags), HeaderRead::kRead);
    EXPECT_EQ(Describe(tags), Describe(LibraryTags(path)));
    // Through the scan's own reading: the first bytes, then more when a header runs on.
    EXPECT_EQ(Describe(ReadMediaTags(path)), Describe(LibraryTags(path)));
  }
  for (const std::string& path : unusual) {
    SCOPED_TRACE(path);
    MediaTags tags;
    EXPECT_EQ(HeaderTags(Extension(path), ReadFile(path), &tags), HeaderRead::kUnusual);
    EXPECT_EQ(Describe(ReadMediaTags(path)), Describe(LibraryTags(path)));
  }
  // The UTF-16 texts of ID3v2.3 as well.
  EXPECT_EQ(Describe(ReadMediaTags(dir_ / "v23.mp3"))
                .rfind("Title=Grüße aus 東京; Artist=The Testers; Album=Sine Waves; Year=1999; "
                       "Duration=",
                       0),
            0U);
}

// An ID3v2.4 size: four bytes of seven bits each.
std::string SyncSafe(std::size_t value) {
  std::string out(4, '\0');
  for (int i = 3; i >= 0; --i, value >>= 7) out[static_cast<std::size_t>(i)] = char(value & 0x7F);
  return out;
}

// The body of an ID3v2.4 text frame in UTF-8.
std::string Utf8Text(const std::string& text) { return "\x03" + text; }

std::string Id3Frame(const std::string& id, const std::string& body) {
  return id + SyncSafe(body.size()) + std::string(2, '\0') + body;
}

// The bytes the header readers ask for, beyond the first page, to read the file `bytes` (with
// extension `ext`), windows given as asked; the tags in `tags`.
std::size_t AskedBeyondFirstPage(const std::string& ext, const std::string& bytes,
                                 MediaTags* tags) {
  FileEnds ends{std::string_view(bytes).substr(0, 4096), {}, bytes.size(), {}};
  RawMediaTags raw;
  HeaderNeed need;
  HeaderRead read;
  std::size_t asked = 0;
  while ((read = ReadHeaderTags(ext, ends, &raw, &need)) != HeaderRead::kRead) {
    if (read == HeaderRead::kNeedTail) {
      ends.tail = std::string_view(bytes).substr(bytes.size() - kHeaderTailBytes);
      asked += kHeaderTailBytes;
      continue;
    }
    EXPECT_EQ(read, HeaderRead::kNeedWindow);
    if (read != HeaderRead::kNeedWindow) break;
    asked += need.size;
    ends.windows.push_back({need.at, std::string_view(bytes).substr(need.at, need.size)});
  }
  *tags = MediaTagsFrom(raw, MediaKindOf("x." + ext));
  return asked;
}

// Pictures and other large blocks that hold nothing wanted are stepped over, whatever their size
// and wherever the wanted parts stand.
TEST_F(MediaHeadersTest, PicturesAreSteppedOverNotRead) {
  const std::string stream = ReadFile(Song("bare.mp3", "-id3v2_version 0"));
  // Picture frames: text encoding, MIME type, picture type (front cover, back cover), an empty
  // description, then the picture's bytes.
  auto picture = [](const std::string& mime, char type, std::size_t size) {
    std::string body = std::string(1, '\0') + mime + std::string(1, '\0') + type + '\0';
    for (std::size_t i = 0; i < size; ++i) body += static_cast<char>(i * 7919 % 251);
    return body;
  };
  const std::string frames =
      Id3Frame("TIT2", Utf8Text("Before")) + Id3Frame("APIC", picture("image/jpeg", 3, 300000)) +
      Id3Frame("TPE1", Utf8Text("After the picture")) +
      Id3Frame("APIC", picture("image/png", 4, 90000)) + Id3Frame("TALB", Utf8Text("Gallery")) +
      Id3Frame("TDRC", Utf8Text("2019")) + std::string(700, '\0');
  const std::string song =
      std::string("ID3\x04\x00\x00", 6) + SyncSafe(frames.size()) + frames + stream;
  WriteFile(dir_ / "pictures.mp3", song);

  // A cover of some 700 KB as ffmpeg writes it into an ID3v2.3 tag and into a FLAC file.
  const std::string cover = dir_ / "cover.png";
  ASSERT_TRUE(
      Make("ffmpeg -nostdin -v error -y -f lavfi "
           "-i 'nullsrc=s=700x700,geq=random(1)*255:128:128' -frames:v 1 " +
           Quote(cover)));
  const std::string with_cover = "-i " + Quote(cover) + " -map 0 -map 1 -c:v copy ";
  Song("covered.mp3", with_cover + "-id3v2_version 3 " + kTags);
  Song("covered.flac", with_cover + "-disposition:v attached_pic " + kTags);
  // A photo with 60 KB of XMP after its Exif block, before its frame header.
  Photo("described.jpg",
        "-DateTimeOriginal='2021:05:06 07:08:09' -Make=Canon -Model='Canon EOS 5D' "
        "-XMP-dc:Description=" +
            std::string(60000, 'd'));

  for (const std::string name : {"pictures.mp3", "covered.mp3", "covered.flac", "described.jpg"}) {
    SCOPED_TRACE(name);
    const std::string path = dir_ / name;
    const std::string bytes = ReadFile(path);
    ASSERT_GT(bytes.size(), 60000U);
    const std::string library = Describe(LibraryTags(path));
    MediaTags tags;
    ASSERT_EQ(HeaderTags(Extension(path), bytes, &tags), HeaderRead::kRead);
    EXPECT_EQ(Describe(tags), library);
    EXPECT_LT(AskedBeyondFirstPage(Extension(path), bytes, &tags), 16384U);
    EXPECT_EQ(Describe(tags), library);
    EXPECT_EQ(Describe(ReadMediaTags(path)), library);
  }
  EXPECT_EQ(Describe(LibraryTags(dir_ / "pictures.mp3"))
                .rfind("Title=Before; Artist=After the picture; Album=Gallery; Year=2019;", 0),
            0U);
}

// The last bytes of a song are read only when tags kept there could fill a field left empty.
TEST_F(MediaHeadersTest, EndOfASongIsAskedForOnlyWhenAFieldIsMissing) {
  const std::string full = ReadFile(Song("full.mp3", "-write_id3v1 1 " + kTags));
  const std::string part = ReadFile(Song("part.mp3", "-write_id3v1 1 -metadata title=Only"));
  const std::string plain = ReadFile(Song("plain.flac", "-metadata title=Only"));
  RawMediaTags raw;
  HeaderNeed needed;
  auto head_only = [](const std::string& bytes) {
    return FileEnds{std::string_view(bytes).substr(0, bytes.size() / 2), {}, bytes.size(), {}};
  };
  auto with_tail = [](const std::string& bytes) {
    return FileEnds{std::string_view(bytes).substr(0, bytes.size() / 2),
                    std::string_view(bytes).substr(bytes.size() - kHeaderTailBytes),
                    bytes.size(),
                    {}};
  };
  EXPECT_EQ(ReadHeaderTags("mp3", head_only(full), &raw, &needed), HeaderRead::kRead);
  EXPECT_EQ(raw.album, "Sine Waves");
  EXPECT_EQ(ReadHeaderTags("mp3", head_only(part), &raw, &needed), HeaderRead::kNeedTail);
  EXPECT_EQ(raw.title, "") << "nothing is given before the end is known";
  EXPECT_EQ(ReadHeaderTags("mp3", with_tail(part), &raw, &needed), HeaderRead::kUnusual);
  EXPECT_EQ(ReadHeaderTags("flac", head_only(plain), &raw, &needed), HeaderRead::kNeedTail);
  EXPECT_EQ(ReadHeaderTags("flac", with_tail(plain), &raw, &needed), HeaderRead::kRead);
  EXPECT_EQ(raw.title, "Only");
}

// Cut and damaged copies: whatever the header readers accept, they read as the libraries do.
TEST_F(MediaHeadersTest, DamagedFilesGiveWhatTheLibrariesGiveOrAreHandedOn) {
  const std::vector<std::string> originals = {
      Song("a.mp3", "-ac 1 " + kTags), Song("a.flac", "-ac 1 " + kTags),
      Photo("a.jpg", "-DateTimeOriginal='2021:05:06 07:08:09' -Make=Canon -Model='EOS'")};
  std::size_t accepted = 0, tried = 0;
  for (const std::string& original : originals) {
    const std::string bytes = ReadFile(original);
    // The header region, where a change matters, and some positions beyond it.
    const std::size_t span = std::min<std::size_t>(bytes.size(), 1200);
    std::vector<std::string> variants;
    for (std::size_t at = 0; at < span; at += 7) {
      std::string flipped = bytes;
      flipped[at] = static_cast<char>(flipped[at] ^ 0x5A);
      variants.push_back(std::move(flipped));
      std::string zeroed = bytes;
      zeroed[at] = '\0';
      variants.push_back(std::move(zeroed));
    }
    for (std::size_t cut : {std::size_t{3}, std::size_t{12}, std::size_t{100}, span / 2, span,
                            bytes.size() / 2, bytes.size() - 100}) {
      variants.push_back(bytes.substr(0, cut));
    }
    const std::string path = dir_ / ("variant." + Extension(original));
    for (const std::string& variant : variants) {
      WriteFile(path, variant);
      MediaTags tags;
      ++tried;
      if (HeaderTags(Extension(path), variant, &tags) != HeaderRead::kRead) continue;
      ++accepted;
      const std::string library = Describe(LibraryTags(path));
      EXPECT_EQ(Describe(tags), library)
          << original << " variant " << tried << " of " << variants.size();
      EXPECT_EQ(Describe(ReadMediaTags(path)), library);
    }
  }
  // Most changes fall on bytes the readers check or copy; some must have been read.
  EXPECT_GT(accepted, tried / 10);
}

TEST(MediaHeadersLimitsTest, LongHeadersAskForMoreAndTinyFilesAreHandedOn) {
  // An ID3v2 tag of 40,000 bytes, all padding: the reader asks for a page where the first audio
  // frame begins, after the tag.
  std::string mp3 = std::string("ID3\x04\x00\x00", 6) + std::string("\x00\x02\x38\x40", 4);
  mp3.resize(20000, '\0');
  RawMediaTags raw;
  HeaderNeed needed;
  EXPECT_EQ(ReadHeaderTags("MP3", {std::string_view(mp3).substr(0, 16384), mp3, 200000, {}}, &raw,
                           &needed),
            HeaderRead::kNeedWindow);
  EXPECT_EQ(needed.at, 10U + 40000U);
  EXPECT_EQ(needed.size, 4096U);
  // The same tag in a file too short for it is for the libraries to judge.
  EXPECT_EQ(ReadHeaderTags("mp3", {mp3, {}, mp3.size(), {}}, &raw, &needed), HeaderRead::kUnusual);
  // A FLAC block running past the head asks for it and a page after it.
  const std::string flac = std::string("fLaC\x00\x00\x00\x22", 8) + std::string(20, '\0');
  EXPECT_EQ(ReadHeaderTags("flac", {flac, {}, 100000, {}}, &raw, &needed), HeaderRead::kNeedWindow);
  EXPECT_EQ(needed.at, 8U);
  EXPECT_EQ(needed.size, 0x22U + 4096U);
  for (const char* ext : {"mp3", "flac", "jpg"}) {
    EXPECT_EQ(ReadHeaderTags(ext, {}, &raw, &needed), HeaderRead::kUnusual) << ext;
    EXPECT_EQ(ReadHeaderTags(ext, {"\xFF\xD8", {}, 2, {}}, &raw, &needed), HeaderRead::kUnusual);
  }
  EXPECT_EQ(ReadHeaderTags("ogg", {"OggS", {}, 4, {}}, &raw, &needed), HeaderRead::kUnusual);
  EXPECT_TRUE(HasHeaderReader("JPG"));
  EXPECT_FALSE(HasHeaderReader("png"));
}

}  // namespace
}  // namespace lumivor
