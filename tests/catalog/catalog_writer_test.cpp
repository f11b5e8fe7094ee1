#include "catalog/catalog_writer.h"

#include <gtest/gtest.h>

#include "catalog/catalog_file.h"
#include "catalog/catalog_reader.h"

namespace lumivor {
namespace {

// The catalog text the writer gives for `records`, each a depth and a FileName.
std::string Written(const std::vector<std::pair<int, std::string>>& records) {
  std::string text;
  CatalogWriter writer([&](std::string_view piece) { text.append(piece); });
  for (const auto& [depth, name] : records) {
    RecordView record;
    record.depth = depth;
    record.fields[kFileName] = name;
    EXPECT_TRUE(writer.Add(record));
  }
  writer.Finish();
  return text;
}

constexpr std::string_view kStart =
    "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?><fileinfo "
    "generated=\"https://orvane.example/lumivor\">";

TEST(CatalogWriter, NestsRecordsByDepthAndClosesEveryLevel) {
  EXPECT_EQ(Written({{0, "a"}, {1, "b"}, {2, "c"}, {0, "d"}, {1, "e"}}),
            std::string(kStart) +
                "<file FileName=\"a\"><file FileName=\"b\"><file FileName=\"c\"/></file></file>"
                "<file FileName=\"d\"><file FileName=\"e\"/></file></fileinfo>");
  // A depth that jumps several levels counts as one below the record before it; a negative one
  // as the top level.
  EXPECT_EQ(Written({{3, "a"}, {5, "b"}, {-2, "c"}}),
            std::string(kStart) +
                "<file FileName=\"a\"><file FileName=\"b\"/></file><file FileName=\"c\"/>"
                "</fileinfo>");
  EXPECT_EQ(Written({}),
            "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?><fileinfo "
            "generated=\"https://orvane.example/lumivor\"/>");
}

TEST(CatalogWriter, WritesWhatTheTreeSaveWrites) {
  CatalogTree tree;
  FieldViews fields{};
  fields[kFileName] = "Disk & \"more\"";
  fields[kFileType] = "directory";
  fields[kDescription] = "line\none <b>";
  auto* top = tree.AddChild(nullptr, fields);
  for (int i = 0; i < 3; ++i) {
    const std::string name = "f" + std::to_string(i), size = std::to_string(i * 100);
    fields[kFileName] = name;
    fields[kFileSize] = size;
    auto* child = tree.AddChild(top, fields);
    tree.AddChild(child, fields);
  }
  tree.AddChild(nullptr, FieldViews{});
  std::string text;
  CatalogWriter writer([&](std::string_view piece) { text.append(piece); });
  EXPECT_TRUE(EmitTree(tree, writer));
  writer.Finish();
  EXPECT_EQ(text, CatalogText(tree));
}

TEST(CatalogWriter, FurtherAttributesFollowTheFieldsAndBadBytesAreCleaned) {
  std::string text;
  CatalogWriter writer([&](std::string_view piece) { text.append(piece); });
  RecordView record;
  record.fields[kFileName] = "caf\xE9";  // Latin-1, not UTF-8
  record.fields[kCatalogName] = "C";
  record.extras = {{"VolumeSerial", "12\x01"}, {"Empty", ""}, {"Artist", "A&B"}};
  writer.Add(record);
  writer.Finish();
  EXPECT_EQ(text, std::string(kStart) +
                      "<file FileName=\"caf\xEF\xBF\xBD\" CatalogName=\"C\" "
                      "VolumeSerial=\"12\xEF\xBF\xBD\" Artist=\"A&amp;B\"/></fileinfo>");
}

TEST(CatalogWriter, LargeCatalogsGoOutInBoundedPieces) {
  std::size_t pieces = 0, largest = 0, total = 0;
  CatalogWriter writer([&](std::string_view piece) {
    ++pieces;
    largest = std::max(largest, piece.size());
    total += piece.size();
  });
  RecordView record;
  const std::string name(100, 'n');
  record.fields[kFileName] = name;
  for (int i = 0; i < 20'000; ++i) writer.Add(record);
  writer.Finish();
  EXPECT_GT(total, 2'000'000u);
  EXPECT_GT(pieces, 20u);
  EXPECT_LT(largest, 70'000u);
}

}  // namespace
}  // namespace lumivor
