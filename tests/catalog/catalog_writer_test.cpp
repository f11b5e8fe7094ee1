#include "catalog/catalog_writer.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <stop_token>

#include "catalog/catalog_file.h"
#include "catalog/catalog_reader.h"
#include "catalog/catalog_tree.h"
#include "catalog/xml_document.h"

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

TEST(CatalogWriter, EscapesWhatAValueCannotHoldWhereverItStands) {
  // Each special byte at every place of values longer and shorter than a block of sixteen.
  const std::string specials[] = {"&", "<", "\"", std::string(1, '\0'), "\x01", "\t", "\x1F"};
  const std::string escaped[] = {"&amp;", "&lt;", "&quot;", "&#00;", "&#01;", "&#09;", "&#31;"};
  for (std::size_t k = 0; k < std::size(specials); ++k) {
    for (std::size_t size : {1u, 15u, 16u, 17u, 40u}) {
      for (std::size_t at = 0; at < size; ++at) {
        std::string value(size, 'a');
        value.replace(at, 1, specials[k]);
        std::string out = "x";
        AppendEscapedAttribute(out, value);
        EXPECT_EQ(out, "x" + std::string(at, 'a') + escaped[k] + std::string(size - at - 1, 'a'))
            << k << " " << size << " " << at;
      }
    }
  }
  std::string out;
  AppendEscapedAttribute(out, "caf\xC3\xA9 > 'x'");
  EXPECT_EQ(out, "caf\xC3\xA9 > 'x'");
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

TEST(CatalogWriter, PartsJoinedGiveTheTextOfOneWriter) {
  // Every way of cutting a few records into two parts, joined, reads as one writer's text.
  const std::vector<std::pair<int, std::string>> records = {{0, "a"}, {1, "b"}, {2, "c"}, {2, "d"},
                                                            {1, "e"}, {0, "f"}, {1, "g"}};
  for (std::size_t cut = 0; cut <= records.size(); ++cut) {
    std::string text;
    int last = -1;
    for (const auto& [begin, end] :
         {std::make_pair(std::size_t{0}, cut), std::make_pair(cut, records.size())}) {
      if (begin == end) continue;
      std::string part;
      CatalogWriter writer([&](std::string_view piece) { part.append(piece); },
                           CatalogWriter::Part());
      for (std::size_t i = begin; i < end; ++i) {
        RecordView record;
        record.depth = records[i].first;
        record.fields[kFileName] = records[i].second;
        writer.Add(record);
      }
      writer.Finish();
      CatalogWriter::AppendJoint(&text, last, records[begin].first);
      text += part;
      last = writer.LastDepth();
    }
    CatalogWriter::AppendJoint(&text, last, -1);
    EXPECT_EQ(text, Written(records)) << cut;
  }
}

TEST(CatalogWriter, PartsMadeOnThreadsAreWrittenInOrder) {
  // 300 records in parts of 0 to 6 records; every thread count gives one writer's text.
  std::vector<std::pair<int, std::string>> records;
  for (int i = 0; i < 300; ++i) records.emplace_back(i % 4, "r" + std::to_string(i));
  std::vector<std::size_t> starts{0};
  for (std::size_t i = 1; starts.back() < records.size(); ++i) {
    starts.push_back(std::min(records.size(), starts.back() + i % 7));
  }
  const auto make = [&](std::size_t part, CatalogWriter& writer) {
    for (std::size_t i = starts[part]; i < starts[part + 1]; ++i) {
      RecordView record;
      record.depth = records[i].first;
      record.fields[kFileName] = records[i].second;
      writer.Add(record);
    }
  };
  for (const std::size_t threads : {0, 1, 2, 5}) {
    std::string text;
    EXPECT_TRUE(WriteCatalogParts(starts.size() - 1, threads, make,
                                  [&](std::string_view piece) { text.append(piece); }));
    EXPECT_EQ(text, Written(records)) << threads;
  }
  // A part that fails is raised on the caller; a stop ends the text unfinished.
  for (const std::size_t threads : {1, 3}) {
    EXPECT_THROW(WriteCatalogParts(
                     40, threads,
                     [&](std::size_t part, CatalogWriter& writer) {
                       if (part == 17) throw std::runtime_error("no room");
                       make(part, writer);
                     },
                     [](std::string_view) {}),
                 std::runtime_error);
    std::stop_source stop;
    std::string text;
    EXPECT_FALSE(WriteCatalogParts(
        40, threads,
        [&](std::size_t part, CatalogWriter& writer) {
          if (part == 5) stop.request_stop();
          make(part, writer);
        },
        [&](std::string_view piece) { text.append(piece); }, stop.get_token()));
    EXPECT_EQ(text.find("</fileinfo>"), std::string::npos);
  }
}

TEST(CatalogWriter, ALargeTreeWrittenByThreadsIsTheTextOfOneWriter) {
  // Over 50,000 records: wide folders, a deep chain of large ones, paths that derive from their
  // parent's and paths that do not, further attributes.
  CatalogTree tree;
  FieldViews fields{};
  fields[kFileName] = "/media/disk";
  fields[kFullPath] = "/media/disk";
  fields[kFileType] = "directory";
  CatalogTree::Node* top = tree.AddChild(nullptr, fields);
  std::vector<std::pair<CatalogTree::Node*, std::string>> folders{{top, "/media/disk"}};
  CatalogTree::Node* chain = top;
  std::string chain_path = "/media/disk";
  for (int i = 0; i < 70'000; ++i) {
    auto& [parent, path] = folders[static_cast<std::size_t>(i * 7919) % folders.size()];
    const std::string name = "n" + std::to_string(i);
    const std::string full = i % 97 == 0 ? "/elsewhere/" + name : path + "/" + name;
    fields[kFileName] = name;
    fields[kFullPath] = full;
    fields[kFileType] = i % 9 == 0 ? "directory" : "file";
    const std::string size = std::to_string(i);  // the fields are views: their texts must live
    fields[kFileSize] = size;
    const ExtraViews extras =
        i % 13 == 0 ? ExtraViews{{"ReadError", "Permission denied"}} : ExtraViews{};
    CatalogTree::Node* parent_node = i % 5 == 0 ? chain : parent;
    const std::string parent_path = i % 5 == 0 ? chain_path : path;
    const std::string full_path = i % 97 == 0 ? full : parent_path + "/" + name;
    fields[kFullPath] = full_path;
    CatalogTree::Node* node = tree.AddChild(parent_node, fields, extras);
    if (i % 9 == 0) {
      folders.emplace_back(node, std::string(fields[kFullPath]));
      if (i % 5000 == 0) {
        chain = node;
        chain_path = std::string(fields[kFullPath]);
      }
    }
  }
  std::string one;
  CatalogWriter writer([&](std::string_view piece) { one.append(piece); });
  EmitTree(tree, writer);
  writer.Finish();
  EXPECT_EQ(CatalogText(tree), one);
}

}  // namespace
}  // namespace lumivor
