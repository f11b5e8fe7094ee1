// The readers of the import on listings written here: the JSON tokens, mtree listings long
// enough to be read in pieces, and the recognition of the formats.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "catalog/catalog_reader.h"
#include "catalog/catalog_writer.h"
#include "core/errors.h"
#include "import/json_reader.h"
#include "import/listing_reader.h"
#include "scan/local_time_converter.h"

namespace lumivor {
namespace {

// The records an ImportTree gives, one line each: depth, FullPath, FileType, FileSize, extras.
std::string Emitted(ImportTree& tree) {
  struct Lines final : RecordSink {
    bool Add(const RecordView& record) override {
      text += std::to_string(record.depth) + " " + std::string(record.fields[kFullPath]) + " " +
              std::string(record.fields[kFileType]) + " " + std::string(record.fields[kFileSize]);
      for (const ExtraAttribute& extra : record.extras) {
        text += " " + std::string(extra.name) + "=" + std::string(extra.value);
      }
      text += "\n";
      return true;
    }
    std::string text;
  } lines;
  tree.Emit("c", lines);
  return lines.text;
}

std::string ErrorOf(const std::function<void()>& run) {
  try {
    run();
  } catch (const LumivorError& e) {
    return e.what();
  }
  return "no error";
}

TEST(JsonReader, DecodesStringsAndKeepsBytesThatAreNotUtf8) {
  const std::string text =
      "{\"a\\u00e9\\n\": [\"\\ud83d\\ude00\", \"\\ud800x\", \"raw\xff\", -1.5e3, true, null]}";
  ByteSource source(text, "j");
  JsonReader json(source);
  using Token = JsonReader::Token;
  EXPECT_EQ(json.Next(), Token::kBeginObject);
  EXPECT_EQ(json.Next(), Token::kKey);
  EXPECT_EQ(json.Text(), "a\xC3\xA9\n");
  EXPECT_EQ(json.Next(), Token::kBeginArray);
  EXPECT_EQ(json.Next(), Token::kString);
  EXPECT_EQ(json.Text(), "\xF0\x9F\x98\x80");
  EXPECT_EQ(json.Next(), Token::kString);
  EXPECT_EQ(json.Text(), "\xEF\xBF\xBDx");  // a lone surrogate
  EXPECT_EQ(json.Next(), Token::kString);
  EXPECT_EQ(json.Text(), "raw\xff");
  EXPECT_EQ(json.Next(), Token::kNumber);
  EXPECT_EQ(json.Text(), "-1.5e3");
  EXPECT_EQ(json.Next(), Token::kTrue);
  EXPECT_EQ(json.Next(), Token::kNull);
  EXPECT_EQ(json.Next(), Token::kEndArray);
  EXPECT_EQ(json.Next(), Token::kEndObject);
  EXPECT_EQ(json.Next(), Token::kEnd);
}

TEST(JsonReader, RefusesWhatIsNotJsonWithItsPlace) {
  const auto error = [](const std::string& text) {
    return ErrorOf([&] {
      ByteSource source(text, "f.json");
      JsonReader json(source);
      while (json.Next() != JsonReader::Token::kEnd) {
      }
    });
  };
  EXPECT_EQ(error("[1,\n2"), "f.json: byte 5 (line 2): unexpected end of file");
  EXPECT_EQ(error("[01]"), "f.json: byte 3 (line 1): malformed number");
  EXPECT_EQ(error("[\"a\nb\"]"), "f.json: byte 4 (line 2): control character in a string");
  EXPECT_EQ(error("{\"a\" 1}"), "f.json: byte 6 (line 1): expected ':'");
  EXPECT_EQ(error("[] []"),
            "f.json: byte 4 (line 1): unexpected data after the end of the JSON value");
  EXPECT_EQ(error(std::string(JsonReader::kMaxDepth + 1, '[')),
            "f.json: byte 100001 (line 1): nested too deeply");
}

TEST(JsonReader, FlatObjectsAreReadAtOnceAndOthersTokenByToken) {
  using Token = JsonReader::Token;
  // Members as "key=text" (true, false and null by name), or "no" when the object was not
  // read at once.
  const auto flat = [](JsonReader& json) {
    std::string members;
    const bool read = json.ReadFlatObject([&](const JsonReader::Member& member) {
      const std::string_view text = member.token == Token::kTrue    ? "true"
                                    : member.token == Token::kFalse ? "false"
                                    : member.token == Token::kNull  ? "null"
                                                                    : member.text;
      members += std::string(member.key) + "=" + std::string(text) + ";";
      return true;
    });
    return read ? members : std::string("no");
  };
  const std::string text =
      "[{\"a\": 1 ,\n\"b\":\"x y\",\"c\":true,\"d\":false,\"e\":null,\"f\":-2.5e3},{},"
      "{\"g\":\"q\\\"\"},{\"h\":[1]},\n{\"i\":01}]";
  ByteSource source(text, "j");
  JsonReader json(source);
  ASSERT_EQ(json.Next(), Token::kBeginArray);
  ASSERT_EQ(json.Next(), Token::kBeginObject);
  EXPECT_EQ(flat(json), "a=1;b=x y;c=true;d=false;e=null;f=-2.5e3;");
  EXPECT_EQ(source.Line(), 2u);  // the line break inside was counted
  ASSERT_EQ(json.Next(), Token::kBeginObject);
  EXPECT_EQ(flat(json), "");
  // An escape: read token by token from the same place.
  ASSERT_EQ(json.Next(), Token::kBeginObject);
  EXPECT_EQ(flat(json), "no");
  ASSERT_EQ(json.Next(), Token::kKey);
  EXPECT_EQ(json.Text(), "g");
  ASSERT_EQ(json.Next(), Token::kString);
  EXPECT_EQ(json.Text(), "q\"");
  ASSERT_EQ(json.Next(), Token::kEndObject);
  // A nested value.
  ASSERT_EQ(json.Next(), Token::kBeginObject);
  EXPECT_EQ(flat(json), "no");
  ASSERT_EQ(json.Next(), Token::kKey);
  json.SkipValue(json.Next());
  ASSERT_EQ(json.Next(), Token::kEndObject);
  // A malformed number is left for the token reader, which names the place it names alone.
  ASSERT_EQ(json.Next(), Token::kBeginObject);
  EXPECT_EQ(flat(json), "no");
  ASSERT_EQ(json.Next(), Token::kKey);
  const std::string number_error = ErrorOf([&] { json.Next(); });
  EXPECT_EQ(number_error, ErrorOf([&] {
              ByteSource alone_source(text, "j");
              JsonReader alone(alone_source);
              while (alone.Next() != Token::kEnd) {
              }
            }));
  EXPECT_NE(number_error.find("(line 3): malformed number"), std::string::npos);

  // Bytes that are not UTF-8 pass as the token reader passes them; a bad literal is refused
  // there.
  const std::string rest = "[{\"j\":\"\xff\"}\n,{\"k\":tru}]";
  ByteSource rest_source(rest, "r");
  JsonReader rest_json(rest_source);
  ASSERT_EQ(rest_json.Next(), Token::kBeginArray);
  ASSERT_EQ(rest_json.Next(), Token::kBeginObject);
  EXPECT_EQ(flat(rest_json), "j=\xff;");
  ASSERT_EQ(rest_json.Next(), Token::kBeginObject);
  EXPECT_EQ(flat(rest_json), "no");
  ASSERT_EQ(rest_json.Next(), Token::kKey);
  EXPECT_EQ(ErrorOf([&] { rest_json.Next(); }), "r: byte 21 (line 2): expected a value");
}

TEST(JsonReader, WholeNumbersAndSeconds) {
  std::uint64_t value = 0;
  EXPECT_TRUE(WholeNumberOf("12", &value));
  EXPECT_EQ(value, 12u);
  EXPECT_TRUE(WholeNumberOf("1e3", &value));
  EXPECT_EQ(value, 1000u);
  EXPECT_FALSE(WholeNumberOf("-5", &value));
  EXPECT_FALSE(WholeNumberOf("1.5", &value));
  EXPECT_FALSE(WholeNumberOf("99999999999999999999", &value));
  std::int64_t seconds = 0;
  EXPECT_TRUE(SecondsOf("1666206037.9786593", &seconds));
  EXPECT_EQ(seconds, 1666206037);
  EXPECT_TRUE(SecondsOf("-0.5", &seconds));
  EXPECT_EQ(seconds, -1);
  EXPECT_FALSE(SecondsOf("1e300", &seconds));
}

TEST(MtreeReader, LongListingsReadInPiecesKeepSettingsAndLineNumbers) {
  // Over a megabyte: libarchive gets it in pieces, each with the "/set" lines made before it.
  std::string listing = "#mtree\n/set type=file uid=0\n. type=dir\n";
  const int kFiles = 30000;
  for (int i = 0; i < kFiles; ++i) {
    if (i == 20000) listing += "/set type=dir\n";
    listing += "./d/f" + std::to_string(i) + " size=" + std::to_string(i % 7) +
               (i >= 20000 ? " type=file" : "") + " sha1digest=" + std::string(40, 'a') + "\n";
  }
  listing += "./later type=dir\n./d/late\n";
  ASSERT_GT(listing.size(), 2u << 20);
  ByteSource source(listing, "big.mtree");
  ImportTree tree(".");
  ReadMtree(source, tree, {});
  const std::string records = Emitted(tree);
  EXPECT_EQ(tree.Size(), static_cast<std::size_t>(kFiles + 4));  // ".", "d", "later", "late"
  EXPECT_NE(records.find("\n2 ./d/f0 file 0 Hash=sha1:" + std::string(40, 'a') + "\n"),
            std::string::npos);
  EXPECT_NE(records.find("\n2 ./d/f29999 file 4 Hash=sha1:"), std::string::npos);
  // The setting made in the middle holds for the lines after it, whichever piece they are in.
  EXPECT_NE(records.find("\n1 ./later directory 0\n"), std::string::npos);
  EXPECT_NE(records.find("\n2 ./d/late directory 0\n"), std::string::npos);

  // A bad line far into the listing is named by its line in the file.
  const std::string bad = listing + "/set\n";
  const std::size_t bad_line =
      static_cast<std::size_t>(std::count(listing.begin(), listing.end(), '\n')) + 1;
  ByteSource bad_source(bad, "bad.mtree");
  ImportTree bad_tree(".");
  const std::string message = ErrorOf([&] { ReadMtree(bad_source, bad_tree, {}); });
  EXPECT_EQ(message, "bad.mtree: line " + std::to_string(bad_line) + ": Can't parse the line");
}

TEST(MtreeReader, RelativeEntriesAndTheListedFolderName) {
  // mtree -c: names the listed folder in its header, entries relative to the folder above them.
  const std::string listing =
      "#\t   user: root\n#\t   tree: /srv/data\n\n/set type=file\n. type=dir\n"
      "    a.txt size=3 md5digest=d41d8cd98f00b204e9800998ecf8427e\n"
      "sub type=dir\n    b size=4\n..\n..\n";
  ByteSource source(listing, "c.mtree");
  ImportTree tree(".");
  ReadMtree(source, tree, {});
  EXPECT_EQ(Emitted(tree),
            "0 /srv/data directory 7\n"
            "1 /srv/data/a.txt file 3 Hash=md5:d41d8cd98f00b204e9800998ecf8427e\n"
            "1 /srv/data/sub directory 4\n"
            "2 /srv/data/sub/b file 4\n");
}

TEST(ListingFormat, IsToldFromTheFirstBytes) {
  EXPECT_EQ(DetectListingFormat(" [1,2,{\"progname\":\"ncdu\"}"), ListingFormat::kNcdu);
  EXPECT_EQ(DetectListingFormat("{\"children\":[]}"), ListingFormat::kCatcli);
  EXPECT_EQ(DetectListingFormat("%%%% HASHDEEP-1.0\n"), ListingFormat::kHashdeep);
  EXPECT_EQ(DetectListingFormat("# comment\nd41d8cd98f00b204e9800998ecf8427e  /a\n"),
            ListingFormat::kHashdeep);
  EXPECT_EQ(DetectListingFormat("#mtree\n"), ListingFormat::kMtree);
  EXPECT_EQ(DetectListingFormat("#\t   user: x\n\n/set type=file\n"), ListingFormat::kMtree);
  EXPECT_EQ(DetectListingFormat("[\"a\"]"), std::nullopt);
  EXPECT_EQ(DetectListingFormat("hello\n"), std::nullopt);
  EXPECT_EQ(DetectListingFormat(""), std::nullopt);
}

TEST(ImportTree, PathsInAnyOrderMakeOneFolderEach) {
  ImportTree tree("/");
  ImportEntry file;
  file.has_size = true;
  file.size = 5;
  EXPECT_TRUE(tree.Place("/m/b/x", file));
  EXPECT_TRUE(tree.Place("/m/a", file));
  EXPECT_TRUE(tree.Place("/m/b/y", file));
  ImportEntry folder;
  folder.directory = true;
  folder.has_time = true;
  folder.mtime = 86400 * 365;
  EXPECT_TRUE(tree.Place("/m/b", folder));   // named after its contents: takes the facts
  EXPECT_FALSE(tree.Place("/m/b", folder));  // a second time: passed over
  EXPECT_FALSE(tree.Place("/m/a", file));
  EXPECT_FALSE(tree.Place("/m/../etc", file));
  tree.DescendToListedRoot();
  EXPECT_EQ(tree.TopName(), "/m");
  EXPECT_EQ(Emitted(tree),
            "0 /m directory 15\n1 /m/b directory 10\n2 /m/b/x file 5\n2 /m/b/y file 5\n"
            "1 /m/a file 5\n");
  EXPECT_EQ(tree.Skipped(), 3u);
}

TEST(ImportTree, EntriesReadAsTheRecordsOfTheirTexts) {
  // Entries packed from their numbers must read as the records made from the texts a scan
  // writes: times on both sides of the years held as numbers, odd seconds, the epoch, sizes up
  // to twenty digits, names that need cleaning, entries with further attributes.
  const std::int64_t times[] = {0,
                                1,
                                -1,
                                1'600'000'001,
                                86400 * 365,
                                -86400LL * 365 * 2000,
                                253'402'300'799 - 86'400,
                                253'402'300'799 + 86'400,
                                -62'167'219'200 - 86'400,
                                -62'167'219'200 + 86'400};
  const std::uint64_t sizes[] = {0, 7, 9'223'372'036'854'775'807ull, 9'999'999'999'999'999'999ull,
                                 10'000'000'000'000'000'000ull};
  const std::string names[] = {"plain.txt", "d\xC3\xA9j\xC3\xA0", "bad\xFF\x01name"};
  ImportTree tree("/");
  CatalogTree expected;
  CatalogTree::Node* expected_top = expected.AddChild(nullptr, FieldViews{});
  LocalTimeConverter times_text;
  int n = 0;
  for (const std::int64_t mtime : times) {
    for (const std::uint64_t size : sizes) {
      const std::string& name = names[static_cast<std::size_t>(n) % 3];
      ImportEntry entry;
      entry.name = name;
      entry.directory = n % 4 == 1;
      entry.has_size = n % 5 != 2;
      entry.size = size;
      entry.has_time = n % 7 != 3;
      entry.mtime = mtime;
      const ExtraViews hash{{kHashAttribute, "md5:00"}};
      if (n % 6 == 5) entry.extras = hash;
      ASSERT_NE(tree.AddChild(nullptr, entry), nullptr);

      FieldViews fields{};
      fields[kFileName] = name;
      fields[kFileType] = entry.directory ? kDirectoryType : kFileTypeText;
      const std::string size_text = std::to_string(size);
      if (!entry.directory && entry.has_size) fields[kFileSize] = size_text;
      char time_text[40];
      if (entry.has_time) fields[kFileTime] = times_text.Format(mtime, time_text);
      expected.AddChild(expected_top, fields, entry.extras);
      ++n;
    }
  }
  ASSERT_EQ(tree.Top()->children.size(), expected_top->children.size());
  for (std::size_t i = 0; i < expected_top->children.size(); ++i) {
    const CatalogTree::Node* got = tree.Top()->children[i];
    const CatalogTree::Node* want = expected_top->children[i];
    for (int field = 0; field < kFieldCount; ++field) {
      EXPECT_EQ(got->Field(field), want->Field(field)) << i << " " << field;
    }
    EXPECT_EQ(got->ExtraCount(), want->ExtraCount()) << i;
  }
}

TEST(ImportTree, ALargeTreeWrittenByThreadsIsTheTextOfOneWriter) {
  // Over 50,000 entries below "/" (whose children's paths take no second "/"): wide folders,
  // a chain of folders each larger than a part, names beyond ASCII, files with a Hash.
  const auto build = [] {
    auto tree = std::make_unique<ImportTree>("/");
    std::vector<CatalogTree::Node*> folders{nullptr};
    CatalogTree::Node* chain = nullptr;
    ImportEntry entry;
    for (int i = 0; i < 60'000; ++i) {
      const std::string name = (i % 11 == 0 ? "d\xC3\xA9j\xC3\xA0-" : "n") + std::to_string(i);
      entry.name = name;
      entry.directory = i % 9 == 0;
      entry.has_size = !entry.directory;
      entry.size = static_cast<std::uint64_t>(i) * 37;
      entry.has_time = i % 2 == 0;
      entry.mtime = 1'600'000'000 + i;
      const std::string hash = "md5:" + std::to_string(i % 100);
      entry.extras =
          i % 7 == 0 && !entry.directory ? ExtraViews{{kHashAttribute, hash}} : ExtraViews{};
      CatalogTree::Node* parent =
          i % 5 == 0 ? chain : folders[static_cast<std::size_t>(i * 7919) % folders.size()];
      CatalogTree::Node* node = tree->AddChild(parent, entry);
      if (entry.directory) (i % 900 == 0 ? chain : folders.emplace_back()) = node;
    }
    return tree;
  };
  std::string one;
  const ImportCounts one_counts = build()->WriteCatalog(
      "c", [&](std::string_view piece) { one.append(piece); }, 1);
  std::string emitted;
  CatalogWriter writer([&](std::string_view piece) { emitted.append(piece); });
  build()->Emit("c", writer);
  EXPECT_EQ(one, emitted);
  for (const std::size_t threads : {2, 3, 8}) {
    std::string text;
    const ImportCounts counts = build()->WriteCatalog(
        "c", [&](std::string_view piece) { text.append(piece); }, threads);
    EXPECT_TRUE(text == one) << threads;  // not printed: megabytes
    EXPECT_EQ(counts.entries, one_counts.entries);
    EXPECT_EQ(counts.folders, one_counts.folders);
    EXPECT_EQ(counts.files, one_counts.files);
    EXPECT_EQ(counts.hashed, one_counts.hashed);
  }
  EXPECT_EQ(one_counts.entries, 60'001u);
  EXPECT_EQ(one_counts.hashed, 7'619u);
  EXPECT_NE(one.find("FullPath=\"/n1\""), std::string::npos);
}

// An ncdu export of `folders` folders below the root, each of 50 files, every seventh folder's
// name one that cannot be an entry ("..") and every folder's 13th file a hard link.
std::string LargeNcduExport(int folders) {
  std::string text =
      "[1,2,{\"progname\":\"ncdu\",\"timestamp\":1700000000},\n"
      "[{\"name\":\"/r\",\"dev\":7}";
  for (int f = 0; f < folders; ++f) {
    text += ",\n[{\"name\":\"" + (f % 7 == 3 ? std::string("..") : "d" + std::to_string(f)) +
            "\",\"mtime\":" + std::to_string(1600000000 + f) + "}";
    for (int i = 0; i < 50; ++i) {
      text += ",\n{\"name\":\"f" + std::to_string(i) +
              ".txt\",\"asize\":" + std::to_string(f * 50 + i) +
              ",\"mtime\":" + std::to_string(1500000000 + i);
      if (i == 13) text += ",\"hlnkc\":true,\"ino\":" + std::to_string(f);
      text += "}";
    }
    text += "]";
  }
  return text + "]]\n";
}

TEST(NcduReader, AListingOfManyBatchesIsReadWholeAndInOrder) {
  // Far more entries than one hand-over between the parsing and the building thread holds.
  const std::string text = LargeNcduExport(700);
  ByteSource source(text, "big.json");
  ImportTree tree(".");
  ReadNcdu(source, tree, {});
  EXPECT_EQ(tree.TopName(), "/r");
  const std::string lines = Emitted(tree);
  // 600 folders kept (every seventh passed over with its 50 files), 50 files each.
  EXPECT_EQ(tree.Size(), 1u + 600u * 51u);
  EXPECT_EQ(tree.Skipped(), 100u * 51u);
  EXPECT_EQ(lines.find("/r/d3/"), std::string::npos);
  EXPECT_NE(lines.find("\n1 /r/d699 directory 1748725\n2 /r/d699/f0.txt file 34950\n"),
            std::string::npos);
  EXPECT_NE(lines.find("\n2 /r/d698/f13.txt file 34913 LinkId=7:698\n"), std::string::npos);
  EXPECT_EQ(lines.substr(lines.size() - 29), "2 /r/d699/f49.txt file 34999\n");
}

TEST(NcduReader, InfoObjectsReadAtOnceGiveWhatTheTokenReaderGives) {
  // Each info object twice: plain (read at once) and with an escape in its name (read token by
  // token); both must give the same record.
  const std::string members[] = {
      "\"asize\":999999999999999999,\"mtime\":1600000001",
      "\"asize\":9223372036854775807,\"mtime\":-5",
      "\"asize\":9223372036854775808,\"mtime\":1.5e9",
      "\"asize\":1e3,\"mtime\":99999999999999999999",
      "\"asize\":null,\"mtime\":0,\"excluded\":\"pattern\"",
      "\"asize\":0,\"excluded\":true,\"read_error\":false,\"hlnkc\":null",
      "\"asize\":12,\"ino\":5,\"hlnkc\":true,\"dev\":9,\"mode\":16877,\"excluded\":\"otherfs\""};
  std::string text = "[1,2,{},\n[{\"name\":\"/r\"}";
  for (std::size_t i = 0; i < std::size(members); ++i) {
    text += ",\n{\"name\":\"p" + std::to_string(i) + "\"," + members[i] + "}";
    text += ",\n{\"name\":\"\\u0070" + std::to_string(i) + "\"," + members[i] + "}";
  }
  text += "]]";
  ByteSource source(text, "n.json");
  ImportTree tree(".");
  ReadNcdu(source, tree, {});
  const std::string lines = Emitted(tree);
  std::size_t start = lines.find('\n') + 1;
  for (std::size_t i = 0; i < std::size(members); ++i) {
    const std::size_t middle = lines.find('\n', start) + 1;
    const std::size_t end = lines.find('\n', middle) + 1;
    EXPECT_EQ(lines.substr(start, middle - start), lines.substr(middle, end - middle)) << i;
    start = end;
  }
  EXPECT_NE(lines.find("1 /r/p0 file 999999999999999999\n"), std::string::npos);
  EXPECT_NE(lines.find("1 /r/p6 directory 0 LinkId=9:5 Excluded=otherfs\n"), std::string::npos)
      << lines;
}

TEST(NcduReader, AnErrorFarIntoTheListingNamesItsPlace) {
  std::string text = LargeNcduExport(700);
  const std::size_t bad = text.find("{\"name\":\"f7.txt\",\"asize\":32507");
  ASSERT_NE(bad, std::string::npos);
  text[bad + 1] = '!';
  const std::size_t line =
      1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + bad, '\n'));
  ByteSource source(text, "bad.json");
  ImportTree tree(".");
  EXPECT_EQ(ErrorOf([&] { ReadNcdu(source, tree, {}); }),
            "bad.json: byte " + std::to_string(bad + 2) + " (line " + std::to_string(line) +
                "): expected a member name in double quotes");

  const std::string cut = LargeNcduExport(700).substr(0, 1'000'000);
  ByteSource cut_source(cut, "cut.json");
  ImportTree cut_tree(".");
  EXPECT_NE(ErrorOf([&] { ReadNcdu(cut_source, cut_tree, {}); }).find("unexpected end of file"),
            std::string::npos);
}

TEST(NcduReader, ACancelWhileReadingStopsBothThreads) {
  const std::string text = LargeNcduExport(700);
  ByteSource source(text, "big.json");
  ImportTree tree(".");
  std::stop_source stop;
  ImportControl control;
  control.stop = stop.get_token();
  std::size_t calls = 0;
  control.progress = [&](std::size_t) {
    if (++calls == 2) stop.request_stop();
  };
  EXPECT_THROW(ReadNcdu(source, tree, control), ImportCancelled);
  EXPECT_LT(tree.Size(), 20000u);
}

}  // namespace
}  // namespace lumivor
