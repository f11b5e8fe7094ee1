#include "catalog/catalog_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "catalog/catalog_file.h"
#include "core/errors.h"
#include "support/catalog_document.h"
#include "test_util.h"

namespace lumivor {
namespace {

// Every field of every record, with depths, in pre-order.
std::string Dump(const CatalogTree& tree) {
  std::string out;
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int depth) {
    out += std::to_string(depth);
    const CatalogRecord record = node->Record();
    for (auto field : record.Fields()) out += "|" + std::string(field);
    for (const ExtraAttribute& extra : node->Extras()) {
      out += "|" + std::string(extra.name) + "=" + std::string(extra.value);
    }
    out += "\n";
  });
  return out;
}

// The tree the document route reads from `text`.
std::string ByDocument(const std::string& text, const std::string& path = "/lib/Cat.xml") {
  XmlDocument document;
  SetDocumentText(document, text);
  CatalogDocument info(&document);
  info.CatalogPath = path;
  CatalogTree tree;
  info.ReadTree(&tree);
  return Dump(tree);
}

// The tree the fast route reads, or "fallback".
std::string ByReader(std::string text) {
  CatalogTree tree;
  if (!ReadCatalogText(text, "Cat", &tree)) return "fallback";
  return Dump(tree);
}

TEST(CatalogReader, ReadsWhatTheDocumentRouteReads) {
  const std::string cases[] = {
      "<fileinfo/>",
      "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?><fileinfo generated=\"x\">"
      "</fileinfo>",
      "\xEF\xBB\xBF<?xml version='1.0' encoding='UTF-8'?>\n<fileinfo>\n  <file FileName=\"top\">\n"
      "    <file FileName=\"a\" FileSize=\"12\" FileType=\"file\"/>\n  </file>\n</fileinfo>\n",
      // Entities, character references, quotes of both kinds, whitespace in values.
      "<r><file FileName=\"a &amp; b &lt;c&gt; &quot;d&quot; &apos;e&apos;\" "
      "Description='tab&#9;nl&#10;cr&#13;&#x263A;&#233;' FullPath=\"x\ty\nz\r\nw\rv\"/></r>",
      // Present but empty attributes clear the top-level defaults; unknown ones are ignored.
      "<r><file FileType=\"\" FullPath=\"\" FileName=\"n\" Extra=\"1\" CatalogName=\"Other\"/>"
      "<thing FileType=\"file\"/></r>",
      // Elements of any name, nested deeply, and attributes repeated: the first one counts.
      "<a><b FileName=\"1\"><c FileName=\"2\"><d FileName=\"3\" FileName=\"4\"/></c></b></a>",
      // Names with non-ASCII letters and values with multibyte text.
      "<r><f\xC3\xA9 FileName=\"M\xC3\xBCller \xE6\x97\xA5\"/></r>",
      "<r   ><file\n FileName = \"spaced\"\t/></r >",
      // Comments, instructions, CDATA and text between elements hold no record.
      "<r><!-- a -- comment --><file FileName=\"a\"/><?pi data?>text &amp; more<![CDATA[<x>]]>"
      "<file FileName=\"b\"><!----></file></r><!-- after --><?after?>",
  };
  for (const auto& text : cases) {
    EXPECT_EQ(ByReader(text), ByDocument(text)) << text;
  }
}

TEST(CatalogReader, LeavesEverythingElseToTheDocumentRoute) {
  const std::string cases[] = {
      "",
      "<!DOCTYPE r><r/>",
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r/>",
      "<r><file FileName=\"a\"></r>",
      "<r><file FileName=\"a\"/>",
      "<r><file FileName=\"a&unknown;\"/></r>",
      "<r><file FileName=\"a&#0;\"/></r>",
      "<r><file FileName=\"a<b\"/></r>",
      "<r><file FileName=\"a\"FileSize=\"1\"/></r>",
      "<r/><r/>",
      "<r/>trailing",
      "<r><!-- never closed <file FileName=\"a\"/></r>",
      "<r><?xml version=\"1.0\"?><file FileName=\"a\"/></r>",
      std::string("<r>te\0xt<file FileName=\"a\"/></r>", 33),
      "<r><file FileName=a/></r>",
  };
  for (const auto& text : cases) EXPECT_EQ(ByReader(text), "fallback") << text;
}

TEST(CatalogReader, LoadCatalogFallsBackAndStillReportsErrors) {
  testing::TempDir dir;
  testing::WriteFile(dir / "commented.xml",
                     "<r><!-- kept out of the fast route --><file FileName=\"a\"/></r>");
  EXPECT_EQ(Dump(LoadCatalog(dir / "commented.xml")), "0|a|a||||directory|||||commented\n");
  testing::WriteFile(dir / "broken.xml", "<r><file FileName=\"a\"></r>");
  EXPECT_THROW((void)LoadCatalog(dir / "broken.xml"), LumivorError);
}

// A sink that keeps the dump of what it received and counts restarts.
class DumpSink final : public RecordSink {
 public:
  bool Add(const RecordView& record) override {
    out += std::to_string(record.depth);
    for (auto field : record.fields) out += "|" + std::string(field);
    for (const ExtraAttribute& extra : record.extras) {
      out += "|" + std::string(extra.name) + "=" + std::string(extra.value);
    }
    out += "\n";
    return ++added != stop_after;
  }
  void Finish() override { ++finished; }
  void Restart() override {
    out.clear();
    ++restarts;
  }
  std::string out;
  int added = 0, stop_after = -1, finished = 0, restarts = 0;
};

// A catalog text of `count` records below one top record, with values that cross any window.
std::string BigCatalog(int count, const std::string& tail = "") {
  std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?><fileinfo><file FileName=\"top\">";
  for (int i = 0; i < count; ++i) {
    text += "<file FileName=\"n" + std::to_string(i) + " a&gt;b &amp; c\" Description=\"x > y " +
            std::string(static_cast<std::size_t>(i % 97), 'd') + "\" Tag=\"t" + std::to_string(i) +
            "\"/>";
  }
  return text + "</file>" + tail + "</fileinfo>";
}

TEST(CatalogReader, FileReadsInWindowsGiveTheDocumentRouteRecords) {
  testing::TempDir dir;
  // Three windows and more, a value longer than a window, and a file that needs the fallback
  // only near its end (after many records went to the sink already).
  const std::string big = BigCatalog(30000, "<!-- a comment needs no second route -->");
  const std::string long_value =
      "<fileinfo><file FileName=\"" + std::string(3 << 20, 'v') + "\" Note=\"&#233;\"/></fileinfo>";
  const std::string late_comment = BigCatalog(30000, "<?xml-stylesheet href=\"late\"?>");
  for (const std::string* text : {&big, &long_value, &late_comment}) {
    testing::WriteFile(dir / "Cat.xml", *text);
    DumpSink sink;
    ASSERT_TRUE(ReadCatalogFile(dir / "Cat.xml", sink));
    EXPECT_EQ(sink.finished, 1);
    EXPECT_EQ(sink.restarts, text == &late_comment ? 1 : 0);
    EXPECT_TRUE(sink.out == ByDocument(*text)) << text->substr(0, 200);
  }
}

TEST(CatalogReader, SinkCanStopTheRead) {
  testing::TempDir dir;
  testing::WriteFile(dir / "Cat.xml", BigCatalog(1000));
  DumpSink sink;
  sink.stop_after = 10;
  EXPECT_FALSE(ReadCatalogFile(dir / "Cat.xml", sink));
  EXPECT_EQ(sink.added, 10);
  EXPECT_EQ(sink.finished, 0);
}

TEST(CatalogReader, StreamsAreReadOnceAndOtherSpecialFilesRefused) {
  testing::TempDir dir;
  // A piped catalog that needs the fallback: the bytes already read are not asked for again.
  const std::string text = BigCatalog(2000, "<?xml-stylesheet href=\"needs the document route\"?>");
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::thread writer([&] {
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fds[1]);
  });
  DumpSink sink;
  const std::string piped = "/dev/fd/" + std::to_string(fds[0]);
  EXPECT_NO_THROW(ReadCatalogFile(piped, sink));
  writer.join();
  ::close(fds[0]);
  EXPECT_EQ(sink.restarts, 1);
  EXPECT_TRUE(sink.out == ByDocument(text, piped));

  // A FIFO nobody writes to and an endless device are refused at once.
  const std::string fifo = dir / "fifo.xml";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, std::string("/dev/zero")}) {
    try {
      DumpSink refused;
      ReadCatalogFile(path, refused);
      ADD_FAILURE() << path;
    } catch (const LumivorError& error) {
      EXPECT_EQ(std::string(error.what()), path + ": not a regular file");
    }
  }
}

// What a whole read of `text` as a file gives: the dump, or "error".
std::string ByFile(const std::string& text) {
  testing::TempDir dir;
  testing::WriteFile(dir / "Cat.xml", text);
  DumpSink sink;
  try {
    ReadCatalogFile(dir / "Cat.xml", sink);
  } catch (const LumivorError&) {
    return "error";
  }
  return sink.out;
}

// The document route from a file: LoadFile and ReadTree.
std::string ByDocumentOrError(const std::string& text) {
  testing::TempDir dir;
  testing::WriteFile(dir / "Cat.xml", text);
  try {
    XmlDocument document;
    CatalogDocument info(&document);
    info.LoadFile(dir / "Cat.xml");
    CatalogTree tree;
    info.ReadTree(&tree);
    return Dump(tree);
  } catch (const LumivorError&) {
    return "error";
  }
}

TEST(CatalogReader, BothRoutesGiveOneVerdictOnOddPrologsAndBytes) {
  const std::string body = "<fileinfo><file FileName=\"caf\xC3\xA9\"/></fileinfo>";
  const std::string cases[] = {
      "<?xml version=\"1.0\" junk?>" + body,
      "<?xml version=\"1.0\"encoding=\"utf-8\"?>" + body,
      "<?xml version=\"1.0\" x-encoding=\"latin1\"?>" + body,
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><fileinfo><file FileName=\"caf\xE9\"/>"
      "</fileinfo>",
      "<?xml encoding=\"utf-8\"?>" + body,
      "<?xml version=\"1.0\" standalone=\"maybe\"?>" + body,
      std::string("<fileinfo><file FileName=\"a\0b\"/></fileinfo>", 37),
      "<?xml-stylesheet href=\"x\"?>" + body,
  };
  for (const auto& text : cases) EXPECT_EQ(ByFile(text), ByDocumentOrError(text)) << text;
  // A Latin-1 file reads as UTF-8 text.
  EXPECT_NE(ByFile(cases[3]).find("caf\xC3\xA9"), std::string::npos);
}

TEST(CatalogRecord, FurtherAttributesKeepTheirOrderThroughEditsAndFiles) {
  CatalogTree tree;
  FieldViews fields{};
  fields[kFileName] = "song.mp3";
  fields[kFileType] = "file";
  CatalogTree::Node* node = tree.AddChild(nullptr, fields,
                                          {{"Title", "A \"title\" & more"},
                                           {"Artist", "X"},
                                           {"Empty", ""},
                                           {"Title", "second of a name"},
                                           {"bad name", "v"},
                                           {"FileSize", "ignored"},
                                           {"Year", std::string(300, 'y')}});
  CatalogTree::Node& record = *node;
  ASSERT_EQ(record.ExtraCount(), 3u);
  EXPECT_EQ(record.Extras()[0], (ExtraAttribute{"Title", "A \"title\" & more"}));
  EXPECT_EQ(record.Extra("Artist"), "X");
  EXPECT_EQ(record.Extra("Year").size(), 300u);  // wide lengths
  EXPECT_EQ(record.Field(kFileSize), "");

  record.SetField(kDescription, "kept");
  record.SetExtra("Artist", "Y");
  record.SetExtra("Duration", "12.5");
  record.SetExtra("Year", "");
  record.SetExtra("FileExt", "mp3");
  record.SetExtra("Ctl",
                  "a\x01"
                  "b");
  EXPECT_EQ(record.Field(kFileExt), "mp3");
  const ExtraViews expected = {{"Title", "A \"title\" & more"},
                               {"Artist", "Y"},
                               {"Duration", "12.5"},
                               {"Ctl",
                                "a\xEF\xBF\xBD"
                                "b"}};
  EXPECT_EQ(record.Extras(), expected);

  const std::string text = CatalogText(tree);
  EXPECT_NE(text.find("FileType=\"file\" Description=\"kept\" Title=\"A &quot;title&quot; &amp; "
                      "more\" Artist=\"Y\" Duration=\"12.5\""),
            std::string::npos)
      << text;
  testing::TempDir dir;
  testing::WriteFile(dir / "x.xml", text);
  CatalogTree loaded = LoadCatalog(dir / "x.xml");
  ASSERT_EQ(loaded.Size(), 1u);
  EXPECT_EQ(loaded.Top()->Extras(), expected);
  // Copies and moves keep them.
  CatalogRecord copy = loaded.Top()->Record();
  CatalogRecord moved = std::move(copy);
  EXPECT_EQ(moved.Extras(), expected);
  EXPECT_FALSE(moved == CatalogRecord(moved.Fields()));
}

// What the reader hands on with a needle, one line per record: depth, "*" when it may match, and
// the fields present.
class PrefilterSink final : public RecordSink {
 public:
  bool Add(const RecordView& record) override {
    out += std::to_string(record.depth) + (record.may_match ? "*" : " ");
    for (int i = 0; i < kFieldCount; ++i) {
      if (i != kCatalogName && record.fields[i].data()) {
        out += std::string(FieldNames[i]) + "=" + std::string(record.fields[i]) + ";";
      }
    }
    for (const ExtraAttribute& extra : record.extras) {
      out += std::string(extra.name) + "=" + std::string(extra.value) + ";";
    }
    out += "\n";
    return true;
  }
  void Finish() override { ++finished; }
  void Restart() override {
    out.clear();
    ++restarts;
  }
  std::string out;
  int finished = 0, restarts = 0;
};

TEST(CatalogReaderNeedle, RecordsThatCannotHoldItComeUndecodedInTheirPlace) {
  const Needle needle("song", true);
  PrefilterSink sink;
  const std::string text =
      "<fileinfo FileName=\"song root\">\n  <file FileName='a' FileExt=\"x\" "
      "FileName=\"dup\">text<file Other=\"SONG\"/>\r\n<file FileName=\"b&amp;c\" "
      "Description=\"q&lt;\"/></file >"
      "<file Description=\"&#115;\" FileType=\"file\"></file>"
      "<file FileName=\"tab&#9;\" Description=\"a&#10;b\"/></fileinfo>\n";
  EXPECT_EQ(ReadCatalogRecords(text, "Cat", sink, &needle), FastReadStatus::kDone);
  // The root's own attributes are no record; a reference that may hide a letter lets a record
  // through, a line-break reference does not; a record let through gets its top-level defaults.
  EXPECT_EQ(sink.out,
            "0 FileName=a;\n"
            "1*Other=SONG;\n"
            "1 FileName=b&c;\n"
            "0*FileType=file;Description=s;\n"
            "0 FileName=tab\t;\n");
  // Without a needle every record comes whole.
  PrefilterSink all;
  EXPECT_EQ(ReadCatalogRecords(text, "Cat", all), FastReadStatus::kDone);
  EXPECT_EQ(all.out,
            "0*FileName=a;FullPath=a;FileExt=x;FileType=directory;\n"
            "1*Other=SONG;\n"
            "1*FileName=b&c;Description=q<;\n"
            "0*FileType=file;Description=s;\n"
            "0*FileName=tab\t;FullPath=tab\t;FileType=directory;Description=a\nb;\n");
}

TEST(CatalogReaderNeedle, FilesThatCannotHoldItArePassedOverUnlessDamaged) {
  testing::TempDir dir;
  const Needle needle("song", true);
  CatalogReadOptions options;
  options.needle = &needle;
  options.xml_only = true;
  CatalogFileReader reader;
  auto read = [&](const std::string& name, const std::string& text, PrefilterSink* sink) {
    testing::WriteFile(dir / name, text);
    return reader.Read(dir / name, *sink, options);
  };
  PrefilterSink passed;
  const std::string none = "<?xml version=\"1.0\"?>\n<r><f FileName=\"sung\"/></r>\n";
  EXPECT_EQ(read("none.xml", none, &passed), CatalogReadStatus::kPassedOver);
  EXPECT_EQ(passed.out, "");
  EXPECT_EQ(reader.Stamp().size, static_cast<std::int64_t>(none.size()));
  // Damage inside a complete file that cannot match goes unnoticed, but cut-off and zeroed files
  // are read, so that they count as unreadable.
  EXPECT_EQ(read("inner.xml", "<r><f FileName=\"sung\"></r>", &passed),
            CatalogReadStatus::kPassedOver);
  for (const std::string& text :
       {std::string("<r><f FileName=\"sung\"/>"),
        std::string("<r><f FileName=\"sung\"/>") + std::string(2, '\0') + "</r>",
        std::string("<r><f FileName=\"sung\"/></r")}) {
    PrefilterSink sink;
    EXPECT_EQ(read("bad.xml", text, &sink), CatalogReadStatus::kUnreadable) << text;
    EXPECT_EQ(reader.Error().rfind(dir / "bad.xml: ", 0), 0u) << reader.Error();
  }
  // A file that holds the needle is read; one that needs the document route restarts the sink.
  PrefilterSink sink;
  EXPECT_EQ(read("hit.xml", "<r><f FileName=\"a\"/><f FileName=\"Song\"/></r>", &sink),
            CatalogReadStatus::kDone);
  EXPECT_EQ(sink.out, "0 \n0*FileName=Song;FullPath=Song;FileType=directory;\n");
  EXPECT_EQ(sink.finished, 1);
  // The buffer kept from a longer file shows nothing of it to the next one.
  EXPECT_EQ(read("short.xml", "<r/>", &passed), CatalogReadStatus::kPassedOver);
  PrefilterSink document;
  EXPECT_EQ(read("doctype.xml", "<!DOCTYPE r><r><f FileName=\"a\"/><f FileName=\"song\"/></r>",
                 &document),
            CatalogReadStatus::kDone);
  EXPECT_EQ(document.restarts, 1);
  EXPECT_EQ(document.out,
            "0*FileName=a;FullPath=a;FileType=directory;\n"
            "0*FileName=song;FullPath=song;FileType=directory;\n");
  // Pictures and music among the catalogs are refused from their first bytes; gone files say so.
  EXPECT_EQ(read("picture.xml", "\x89PNG\r\n\x1a\n song", &sink), CatalogReadStatus::kUnreadable);
  EXPECT_EQ(reader.Error(), dir / "picture.xml: not an XML document");
  EXPECT_EQ(reader.Read(dir / "gone.xml", sink, options), CatalogReadStatus::kMissing);
  EXPECT_EQ(reader.Error(), dir / "gone.xml: No such file or directory");
  EXPECT_EQ(reader.Stamp(), FileStamp());
}

// Records as a search sees them: depth and "*" for each, the fields only of those that may match.
class CandidateSink final : public RecordSink {
 public:
  bool Add(const RecordView& record) override {
    out += std::to_string(record.depth);
    if (record.may_match) {
      out += "*";
      for (int i = 0; i < kFieldCount; ++i) {
        if (record.fields[i].data()) out += std::string(record.fields[i]) + ";";
      }
      for (const ExtraAttribute& extra : record.extras) out += std::string(extra.value) + ";";
    }
    out += "\n";
    return true;
  }
  void Restart() override { out.clear(); }
  std::string out;
};

TEST(CatalogReaderNeedle, FilesReadWithANeedleGiveTheCandidatesOfAFullParse) {
  testing::TempDir dir;
  const Needle needle("song", true);
  CatalogReadOptions options;
  options.needle = &needle;
  CatalogFileReader reader;
  // Values holding '>' and "/>", blanks before the tag's end, text and comments between tags,
  // references that hide a letter of the needle or only a line break, and a file long enough to
  // be read in several windows, with hits cut by their ends.
  std::string big = "<r>";
  for (int i = 0; i < 30000; ++i) {
    big += "<f FileName=\"" + std::to_string(i) + (i % 997 == 0 ? "SONG" : "sung") +
           "\" Description=\"a/>b\" ><g FileName=\"x\"  /></f >\n";
  }
  big += "</r>";
  const std::string texts[] = {
      "<r><f FileName=\"a>b/>\"/><f FileName=\"song\"><f FullPath=\"/>\"/></f></r>",
      "<r>\n <f FileName='a' >\n  <f FileName=\"song\" />\n </f>\n <f/>\n</r>\n",
      "<r><f FileName=\"a\">text<f FileName=\"song\"/>more</f><f FileName=\"b\"/></r>",
      "<r><!-- <f FileName=\"song\"/> --><f FileName=\"b\"/><f FileName=\"Song\"/></r>",
      "<r><f FileName=\"&#115;ong\"/><f FileName=\"a&#10;b\"/><f N=\"SONG\"/></r>",
      "<r><f FileName=\"a\"/><f FileName=\"song\"></g></f></r>",  // not well-formed
      big,
  };
  for (const std::string& text : texts) {
    CandidateSink full;
    const FastReadStatus parsed = ReadCatalogRecords(text, "Cat", full, &needle);
    testing::WriteFile(dir / "Cat.xml", text);
    CandidateSink searched;
    const CatalogReadStatus status = reader.Read(dir / "Cat.xml", searched, options);
    if (parsed == FastReadStatus::kDone) {
      EXPECT_EQ(status, CatalogReadStatus::kDone) << text.substr(0, 200);
      EXPECT_EQ(searched.out, full.out) << text.substr(0, 200);
    } else {
      EXPECT_NE(status, CatalogReadStatus::kDone) << text.substr(0, 200);
    }
  }
}

TEST(CatalogReader, DecodesValuesAsTheDocumentRouteDoes) {
  const char* const values[] = {
      "plain",       "a&amp;b",   "&lt;&gt;&quot;&apos;", "tab\there",   "cr\rlf\ncrlf\r\nend",
      "&#65;&#x42;", "&#x1F600;", "&#10;&#13;&#9;",       "caf\xC3\xA9", " lead and trail ",
      "&#0065;",     "\r\n\r\n",
  };
  for (const char* raw : values) {
    XmlDocument document;
    SetDocumentText(document, std::string("<a v=\"") + raw + "\"/>");
    std::string decoded;
    ASSERT_TRUE(DecodeAttributeText(raw, &decoded)) << raw;
    EXPECT_EQ(decoded, document.document_element().attribute("v").value()) << raw;
  }
  std::string decoded;
  for (const char* odd :
       {"&unknown;", "&amp", "&#;", "&#x;", "&#X41;", "&#0;", "&#xD800;", "&#99999999;", "a & b"}) {
    EXPECT_FALSE(DecodeAttributeText(odd, &decoded)) << odd;
  }
}

TEST(CatalogReader, PrologSkipsUtf8MarkersAndLeavesOtherEncodings) {
  auto after = [](std::string_view text) -> std::ptrdiff_t {
    const char* p = SkipCatalogProlog(text.data(), text.data() + text.size());
    return p ? p - text.data() : -1;
  };
  EXPECT_EQ(after("<fileinfo/>"), 0);
  EXPECT_EQ(after("\xEF\xBB\xBF<fileinfo/>"), 3);
  EXPECT_EQ(after("<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\" ?><a/>"), 56);
  EXPECT_EQ(after("<?xml version='1.0' encoding='UTF8'?><a/>"), 37);
  EXPECT_EQ(after("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a/>"), -1);
  EXPECT_EQ(after(std::string("<\0a\0", 4)), -1);
  EXPECT_EQ(after(std::string("\xFF\xFE<\0a\0", 6)), -1);
  EXPECT_EQ(after("<?xml version=\"1.0\" encoding=\"utf-8\""), -1);
  EXPECT_EQ(after("<?xml-stylesheet href=\"a\"?><a/>"), -1);  // left to the document route
}

}  // namespace
}  // namespace lumivor
