#include "search/catalog_scanner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/xml_document.h"

namespace lumivor {
namespace {

// `text` followed by the zero padding the scans need.
struct Padded {
  explicit Padded(std::string_view text) : bytes(text) {
    size = bytes.size();
    bytes.append(kScanPadding, '\0');
  }
  const char* begin() const { return bytes.data(); }
  const char* end() const { return bytes.data() + size; }
  std::string bytes;
  std::size_t size;
};

std::ptrdiff_t FindAt(std::string_view text, std::string_view needle, bool fold) {
  const Padded padded(text);
  const char* hit = Needle(needle, fold).Find(padded.begin(), padded.end());
  return hit == padded.end() ? -1 : hit - padded.begin();
}

TEST(Needle, FindsFoldedAndExactOccurrencesAnywhere) {
  const std::string long_text = std::string(100, 'x') + "SoNg" + std::string(37, 'y');
  EXPECT_EQ(FindAt(long_text, "song", true), 100);
  EXPECT_EQ(FindAt(long_text, "song", false), -1);
  EXPECT_EQ(FindAt(long_text, "SoNg", false), 100);
  // At the very start and the very end of the text, and across block boundaries.
  for (std::size_t at = 0; at < 40; ++at) {
    const std::string text = std::string(at, '-') + "Ab1" + std::string(39 - at, '-');
    EXPECT_EQ(FindAt(text, "aB1", true), static_cast<std::ptrdiff_t>(at)) << at;
  }
  EXPECT_EQ(FindAt("abc", "abcd", true), -1);
  EXPECT_EQ(FindAt("ab", "b", true), 1);
  // Folding touches ASCII letters only: "@" is not "`", "Ü" is not "ü".
  EXPECT_EQ(FindAt("x@y", "x`y", true), -1);
  EXPECT_EQ(FindAt("M\xC3\x9Cller", "m\xC3\xBCller", true), -1);
  EXPECT_EQ(FindAt("M\xC3\xBCLLER", "m\xC3\xBCller", true), 0);
}

TEST(Needle, LongestLiteralRunAvoidsWhatXmlCanEscape) {
  EXPECT_EQ(LongestLiteralRun("my song.mp3"), "song.mp3");
  EXPECT_EQ(LongestLiteralRun("a&b <c>\"dd\" 'e'"), "dd");
  EXPECT_EQ(LongestLiteralRun(" "), "");
  EXPECT_EQ(LongestLiteralRun("tab\there"), "here");
  EXPECT_EQ(LongestLiteralRun("\xC3\xA9t\xC3\xA9"), "\xC3\xA9t\xC3\xA9");
}

TEST(Needle, TextMayContainSeesThroughCharacterReferences) {
  const Needle needle("song", true);
  auto may = [&](std::string_view text) {
    const Padded padded(text);
    return TextMayContain(padded.begin(), padded.end(), needle);
  };
  EXPECT_TRUE(may("<a FileName=\"SONG\"/>"));
  EXPECT_FALSE(may("<a FileName=\"sung\" Description=\"a&#10;b&#13;&#9;c &amp;\"/>"));
  EXPECT_TRUE(may("<a FileName=\"&#115;ong\"/>"));
  EXPECT_TRUE(may("<a FileName=\"&#x73;ong\"/>"));
  EXPECT_TRUE(may("<a FileName=\"x&#10\"/>"));  // not a line-break reference as written
}

TEST(ScanProlog, SkipsUtf8MarkersAndRefusesOtherEncodings) {
  auto after = [](std::string_view text) -> std::ptrdiff_t {
    const Padded padded(text);
    const char* p = ScanProlog(padded.begin(), padded.end());
    return p ? p - padded.begin() : -1;
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

// What the scanner reports, one line per element: depth, may_match and the raw field values.
std::string Scan(std::string_view text, const Needle* needle, ScanStatus* status) {
  const Padded padded(text);
  std::string out;
  *status = ScanCatalogText(padded.begin(), padded.end(), needle, [&](const ScannedElement& e) {
    out += std::to_string(e.depth) + (e.may_match ? "*" : " ");
    for (int i = 0; i < kFieldCount; ++i) {
      if (e.present[i]) {
        out += std::string(FieldNames[i]) + "=" + std::string(e.raw[i]) + (e.plain[i] ? "" : "~") +
               ";";
      }
    }
    out += "\n";
    return true;
  });
  return out;
}

TEST(ScanCatalogText, ReportsElementsBelowTheRootWithDepthsAndHits) {
  const Needle needle("song", true);
  ScanStatus status;
  const std::string out = Scan(
      "<fileinfo FileName=\"song root\">\n  <file FileName='a' FileExt=\"x\" "
      "FileName=\"dup\">text<file Other=\"SONG\"/>\r\n<file FileName=\"b&amp;c\"/></file >"
      "<file Description=\"&#115;\"></file></fileinfo>\n",
      &needle, &status);
  EXPECT_EQ(status, ScanStatus::kDone);
  EXPECT_EQ(out,
            "1 FileName=a;FileExt=x;\n"
            "2*\n"
            "2 FileName=b&amp;c~;\n"
            "1*Description=&#115;~;\n");
}

TEST(ScanCatalogText, LeavesEverythingUnusualToTheXmlReader) {
  const char* const unusual[] = {
      "<a><!-- c --><b/></a>",
      "<a><![CDATA[x]]><b/></a>",
      "<?pi x?><a/>",
      "<!DOCTYPE a><a/>",
      "<a><b></a>",
      "<a><b/>",
      "<a><b x=\"1\"y=\"2\"/></a>",
      "<a><b x=\"1/></a>",
      "<a><b x=1/></a>",
      "<a><b x=\"<\"/></a>",
      "<a/>trailing",
      "<a/><b/>",
      "",
      "plain text",
      "<a><1/></a>",
  };
  for (const char* text : unusual) {
    ScanStatus status;
    (void)Scan(text, nullptr, &status);
    EXPECT_EQ(status, ScanStatus::kUnsupported) << text;
  }
  ScanStatus status;
  EXPECT_EQ(Scan("<a/>", nullptr, &status), "");
  EXPECT_EQ(status, ScanStatus::kDone);
}

TEST(DecodeAttributeValue, DecodesAsTheXmlReaderDoes) {
  const char* const values[] = {
      "plain",       "a&amp;b",   "&lt;&gt;&quot;&apos;", "tab\there",   "cr\rlf\ncrlf\r\nend",
      "&#65;&#x42;", "&#x1F600;", "&#10;&#13;&#9;",       "caf\xC3\xA9", " lead and trail ",
      "&#0065;",     "\r\n\r\n",
  };
  for (const char* raw : values) {
    XmlDocument document;
    SetDocumentText(document, std::string("<a v=\"") + raw + "\"/>");
    std::string decoded;
    ASSERT_TRUE(DecodeAttributeValue(raw, &decoded)) << raw;
    EXPECT_EQ(decoded, document.document_element().attribute("v").value()) << raw;
  }
  std::string decoded;
  for (const char* odd :
       {"&unknown;", "&amp", "&#;", "&#x;", "&#X41;", "&#0;", "&#xD800;", "&#99999999;", "a & b"}) {
    EXPECT_FALSE(DecodeAttributeValue(odd, &decoded)) << odd;
  }
}

}  // namespace
}  // namespace lumivor
