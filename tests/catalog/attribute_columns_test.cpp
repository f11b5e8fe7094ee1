#include "catalog/attribute_columns.h"

#include <gtest/gtest.h>

#include "scan/catalog_medium.h"
#include "scan/media_tags.h"
#include "update/catalog_update.h"

namespace lumivor {
namespace {

TEST(AttributeColumns, NameEveryAttributeTheOtherPartsWrite) {
  // The tags of the deep scan, the volume facts of a catalog's top record and the update's mark.
  for (std::string_view name :
       {kTagTitle, kTagArtist, kTagAlbum, kTagYear, kTagDuration, kTagWidth, kTagHeight,
        kTagDateTaken, kTagCamera, kTagCodec, kVolumeLabelAttribute, kVolumeIdAttribute,
        kFileSystemAttribute, kVolumeSizeAttribute, kVolumeFreeAttribute, kScanDateAttribute,
        kMissingAttribute}) {
    EXPECT_NE(FindAttributeColumn(name), nullptr) << name;
    EXPECT_TRUE(IsColumnName(name)) << name;
  }
  EXPECT_TRUE(IsColumnName("FileSize"));
  EXPECT_FALSE(IsColumnName("Nonsense"));
  EXPECT_EQ(FindAttributeColumn("FileName"), nullptr);
  EXPECT_EQ(FindAttributeColumn("Duration")->sort, SortKind::kNumber);
  EXPECT_EQ(FindAttributeColumn("Title")->sort, SortKind::kText);
}

TEST(AttributeColumns, DurationsAndVolumeSizesReadAsPeopleReadThem) {
  EXPECT_EQ(AttributeDisplayText("Duration", "215.0"), "3:35");
  EXPECT_EQ(AttributeDisplayText("Duration", "3725.4"), "1:02:05");
  EXPECT_EQ(AttributeDisplayText("VolumeSize", "8000000000"), "7.5 GB");
  EXPECT_EQ(AttributeDisplayText("VolumeFree", "1000204886016"), "931.5 GB");
  // What does not parse, and every other attribute, shows as stored.
  EXPECT_EQ(AttributeDisplayText("Duration", "long"), "long");
  EXPECT_EQ(AttributeDisplayText("VolumeSize", "big"), "big");
  EXPECT_EQ(AttributeDisplayText("Width", "1920"), "1920");
  EXPECT_EQ(AttributeDisplayText("Hash", "xxh128:00"), "xxh128:00");
}

TEST(AttributeColumns, ByteCountsTakeTheLargestUnitBelow1024) {
  EXPECT_EQ(ReadableByteCount("0"), "0 bytes");
  EXPECT_EQ(ReadableByteCount("1023"), "1023 bytes");
  EXPECT_EQ(ReadableByteCount("1024"), "1.0 KB");
  EXPECT_EQ(ReadableByteCount("1572864"), "1.5 MB");
  EXPECT_EQ(ReadableByteCount("1099511627776"), "1.0 TB");
  EXPECT_EQ(ReadableByteCount(""), "");
  EXPECT_EQ(ReadableByteCount("-5"), "");
  EXPECT_EQ(ReadableByteCount("12 KB"), "");
}

}  // namespace
}  // namespace lumivor
