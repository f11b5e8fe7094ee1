#include "core/catalog_reader.h"

#include <gtest/gtest.h>

#include "core/errors.h"
#include "core/file_info.h"
#include "test_util.h"

namespace lumivor {
namespace {

// Every field of every record, with depths, in pre-order.
std::string Dump(const CatalogTree& tree) {
  std::string out;
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int depth) {
    out += std::to_string(depth);
    for (auto field : node->record.Fields()) out += "|" + std::string(field);
    out += "\n";
  });
  return out;
}

// The tree the document route reads from `text`.
std::string ByDocument(const std::string& text) {
  XmlDocument document;
  SetDocumentText(document, text);
  TFileInfo info(&document);
  info.CatalogPath = "/lib/Cat.xml";
  CatalogTree tree;
  info.ReadTree(&tree);
  return Dump(tree);
}

// The tree the fast route reads, or "fallback".
std::string ByReader(std::string text) {
  CatalogTree tree;
  if (!ReadCatalogText(text.data(), text.size(), "Cat", &tree)) return "fallback";
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
      // Elements of any name, nested deeply, and attributes repeated: the last one counts.
      "<a><b FileName=\"1\"><c FileName=\"2\"><d FileName=\"3\" FileName=\"4\"/></c></b></a>",
      // Names with non-ASCII letters and values with multibyte text.
      "<r><f\xC3\xA9 FileName=\"M\xC3\xBCller \xE6\x97\xA5\"/></r>",
      "<r   ><file\n FileName = \"spaced\"\t/></r >",
  };
  for (const auto& text : cases) {
    EXPECT_EQ(ByReader(text), ByDocument(text)) << text;
  }
}

TEST(CatalogReader, LeavesEverythingElseToTheDocumentRoute) {
  const std::string cases[] = {
      "",
      "<r><!-- comment --><file FileName=\"a\"/></r>",
      "<r><file FileName=\"a\"/>text</r>",
      "<r><![CDATA[x]]></r>",
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

}  // namespace
}  // namespace lumivor
