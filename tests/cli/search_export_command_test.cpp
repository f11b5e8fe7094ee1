#include <gtest/gtest.h>

#include "test_util.h"

namespace lumivor {
namespace {

using testing::Cli;
using testing::ReadFile;
using testing::RunCommand;
using testing::TempDir;
using testing::WriteFile;

constexpr const char* kHeader =
    "Depth\tFileName\tFullPath\tFileSize\tFileTime\tFileExt\tFileType\tDescription\t"
    "FileNameLength\tPathNameLength\tSizePercentage\tCatalogName\n";

// A library made by the scan command from a small folder.
struct ScannedLibrary {
  ScannedLibrary() {
    WriteFile(dir / "src/My Song.mp3", "12345");
    WriteFile(dir / "src/M\xC3\xBCsik/SONGS.txt", "1");
    WriteFile(dir / "src/notes.txt", "12");
    std::filesystem::create_directories(dir / "lib");
    const auto scan = RunCommand(Cli() + " scan '" + dir / "src" + "' --name Disk --group Mp3 " +
                                 "--library '" + dir / "lib" + "'");
    EXPECT_EQ(scan.status, 0) << scan.err;
    WriteFile(dir / "lib/Mp3/broken.xml", "<fileinfo>");
  }
  TempDir dir;
};

TEST(SearchCommand, PrintsMatchesAsRecordsAndCountsOnStderr) {
  ScannedLibrary library;
  const auto result =
      RunCommand(Cli() + " search --library '" + library.dir / "lib" + "' --name song");
  EXPECT_EQ(result.status, 0) << result.err;
  ASSERT_EQ(result.out.rfind(kHeader, 0), 0u) << result.out;
  const std::string rows = result.out.substr(std::string(kHeader).size());
  EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 2) << rows;
  EXPECT_NE(rows.find("0\tMy Song.mp3\t"), std::string::npos) << rows;
  EXPECT_NE(rows.find("0\tSONGS.txt\t"), std::string::npos) << rows;
  EXPECT_NE(rows.find("\tDisk\n"), std::string::npos) << rows;
  EXPECT_EQ(result.err,
            "The search index was made afresh.\n2 matches, 1 file skipped (not readable "
            "catalogs)\n");

  const auto exact = RunCommand(Cli() + " search --scope '" + library.dir / "lib/Mp3/Disk.xml" +
                                "' --name 'My Song.mp3' --case-sensitive --whole --ext mp3");
  EXPECT_EQ(exact.err,
            "The scope lies outside the library: the catalog files were read.\n1 match, 0 files "
            "skipped (not readable catalogs)\n");
  const auto none =
      RunCommand(Cli() + " search --library '" + library.dir / "lib" + "' --name ' '");
  EXPECT_EQ(none.status, 2);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err, "Please input search condition.\n");
}

// Values with characters a tab-separated line must escape, a folder's path that its children's
// paths extend, times and shares in every form: the indexed search prints the very lines the file
// search prints, and both escape as the listing format says.
TEST(SearchCommand, IndexAndFileSearchPrintTheSameEscapedLines) {
  TempDir dir;
  WriteFile(dir / "lib/G/Disk.xml",
            "<?xml version=\"1.0\"?><fileinfo>"
            "<file FileName=\"/m\" FullPath=\"/m\" FileType=\"directory\" CatalogName=\"Disk\">"
            "<file FileName=\"Tab&#9;folder\" FullPath=\"/m/Tab&#9;folder\" FileType=\"directory\" "
            "FileTime=\"0999-01-02 03:04:05\" SizePercentage=\"100.00\" CatalogName=\"Disk\">"
            "<file FileName=\"back\\slash&#10;line.txt\" "
            "FullPath=\"/m/Tab&#9;folder/back\\slash&#10;line.txt\" "
            "FileSize=\"7\" FileTime=\"2021-03-04\" FileExt=\"txt\" FileType=\"file\" "
            "Description=\"cr&#13;here\" FileNameLength=\"19\" PathNameLength=\"30\" "
            "SizePercentage=\"0.05\" CatalogName=\"Disk\"/>"
            "<file FileName=\"plain line.txt\" FullPath=\"/m/Tab&#9;folder/plain line.txt\" "
            "FileSize=\"0\" FileTime=\"2020-12-31 23:59:59\" FileExt=\"txt\" FileType=\"file\" "
            "SizePercentage=\"12.30\" CatalogName=\"Disk\"/>"
            "</file></file></fileinfo>");
  const std::string library = dir / "lib";
  const auto indexed = RunCommand(Cli() + " search --library '" + library + "' --name line");
  const auto files =
      RunCommand(Cli() + " search --no-index --library '" + library + "' --name line");
  ASSERT_EQ(indexed.status, 0) << indexed.err;
  ASSERT_EQ(files.status, 0) << files.err;
  EXPECT_EQ(indexed.out, files.out);
  EXPECT_EQ(indexed.out,
            std::string(kHeader) +
                "0\tback\\\\slash\\nline.txt\t/m/Tab\\tfolder/back\\\\slash\\nline.txt\t7\t"
                "2021-03-04\ttxt\tfile\tcr\\rhere\t19\t30\t0.05\tDisk\n"
                "0\tplain line.txt\t/m/Tab\\tfolder/plain line.txt\t0\t2020-12-31 23:59:59\ttxt\t"
                "file\t\t\t\t12.30\tDisk\n");
  const auto folder = RunCommand(Cli() + " search --library '" + library + "' --name folder");
  EXPECT_EQ(folder.out, std::string(kHeader) +
                            "0\tTab\\tfolder\t/m/Tab\\tfolder\t\t0999-01-02 03:04:05\t\t"
                            "directory\t\t\t\t100.00\tDisk\n");
}

TEST(ExportCommand, WritesEachFormatFromACatalogFile) {
  ScannedLibrary library;
  const std::string catalog = library.dir / "lib/Mp3/Disk.xml";
  const auto csv = RunCommand(Cli() + " export '" + catalog + "' --format csv -o '" +
                              library.dir / "out.csv" + "' --columns FileName,FileSize --sep ';'");
  EXPECT_EQ(csv.status, 0) << csv.err;
  const std::string text = ReadFile(library.dir / "out.csv");
  EXPECT_EQ(text.rfind("FileName;FileSize;\r\n", 0), 0u) << text;
  EXPECT_NE(text.find("\r\nMy Song.mp3;5\r\n"), std::string::npos) << text;

  const auto xml = RunCommand(Cli() + " export '" + catalog + "' --format xml -o '" +
                              library.dir / "copy.xml" + "' --columns FileName");
  EXPECT_EQ(xml.status, 0) << xml.err;
  EXPECT_EQ(ReadFile(library.dir / "copy.xml"), ReadFile(catalog));

  for (const char* format : {"html", "txt", "xlsx"}) {
    const std::string out = library.dir / (std::string("out.") + format);
    const auto result = RunCommand(Cli() + " export '" + catalog + "' --format " + format +
                                   " -o '" + out + "' --columns FileName,FileExt");
    EXPECT_EQ(result.status, 0) << format << result.err;
    EXPECT_GT(std::filesystem::file_size(out), 0u) << format;
  }
  EXPECT_EQ(ReadFile(library.dir / "out.html").rfind("\xEF\xBB\xBF<HTML><HEAD>", 0), 0u);
}

TEST(ExportCommand, RefusesUnknownColumnsAndUnreadableCatalogs) {
  TempDir dir;
  WriteFile(dir / "c.xml", "<fileinfo><file FileName=\"a\"/></fileinfo>");
  const auto unknown = RunCommand(Cli() + " export '" + dir / "c.xml" + "' --format csv -o '" +
                                  dir / "o.csv" + "' --columns FileName,Size");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.err.rfind("Unknown column \"Size\"", 0), 0u) << unknown.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "o.csv"));

  WriteFile(dir / "o.csv", "old");
  WriteFile(dir / "bad.xml", "<fileinfo>");
  const auto bad = RunCommand(Cli() + " export '" + dir / "bad.xml" + "' --format csv -o '" +
                              dir / "o.csv" + "' --columns FileName");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err.rfind(dir / "bad.xml: ", 0), 0u) << bad.err;
  EXPECT_EQ(ReadFile(dir / "o.csv"), "old");
}

TEST(ExportCommand, AFileBrokenMidwayLeavesNoOutputInAnyFormat) {
  TempDir dir;
  std::string text = "<fileinfo>";
  for (int i = 0; i < 2000; ++i) text += "<file FileName=\"n" + std::to_string(i) + "\"/>";
  text += "<file FileName=\"cut";  // the file ends inside a record
  WriteFile(dir / "in/cut.xml", text);
  std::filesystem::create_directories(dir / "out");
  for (const char* format : {"html", "csv", "txt", "xml", "xlsx"}) {
    const auto result = RunCommand(Cli() + " export '" + dir / "in/cut.xml" + "' --format " +
                                   format + " -o '" + dir / "out/x" + "' --columns FileName");
    EXPECT_EQ(result.status, 1) << format;
    EXPECT_EQ(result.err.rfind(dir / "in/cut.xml: ", 0), 0u) << format << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_TRUE(std::filesystem::is_empty(dir / "out")) << format;
  }
}

TEST(ExportCommand, TheXmlExportKeepsFurtherAttributesAndWritesUtf8) {
  TempDir dir;
  WriteFile(dir / "Tagged.xml",
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><fileinfo><file FileName=\"Disk\" "
            "VolumeSerial=\"AB-12\"><file FileName=\"caf\xE9.mp3\" FileType=\"file\" "
            "Artist=\"Z\xFC\" Album=\"A\"/></file></fileinfo>");
  const auto xml = RunCommand(Cli() + " export '" + dir / "Tagged.xml" + "' --format xml -o '" +
                              dir / "copy.xml" + "'");
  EXPECT_EQ(xml.status, 0) << xml.err;
  EXPECT_EQ(ReadFile(dir / "copy.xml"),
            "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?><fileinfo "
            "generated=\"https://orvane.example/lumivor\"><file FileName=\"Disk\" "
            "FullPath=\"Disk\" FileType=\"directory\" CatalogName=\"Tagged\" "
            "VolumeSerial=\"AB-12\"><file FileName=\"caf\xC3\xA9.mp3\" FileType=\"file\" "
            "CatalogName=\"Tagged\" Artist=\"Z\xC3\xBC\" Album=\"A\"/></file></fileinfo>");
  // Exported again, the copy gives the same bytes but for the catalog's name: no text is
  // decoded twice.
  const auto again = RunCommand(Cli() + " export '" + dir / "copy.xml" + "' --format xml -o '" +
                                dir / "again.xml" + "'");
  EXPECT_EQ(again.status, 0) << again.err;
  std::string expected = ReadFile(dir / "copy.xml");
  for (std::size_t at; (at = expected.find("\"Tagged\"")) != std::string::npos;) {
    expected.replace(at, 8, "\"copy\"");
  }
  EXPECT_EQ(ReadFile(dir / "again.xml"), expected);
}

TEST(ExportCommand, ACatalogOnStandardInputIsReadOnceForEveryFormat) {
  TempDir dir;
  WriteFile(dir / "c.xml",
            "<fileinfo><file FileName=\"Disk\"><file FileName=\"a.mp3\" FileSize=\"3\"/>"
            "<file FileName=\"b.mp3\"/></file></fileinfo>");
  for (const char* format : {"csv", "xlsx"}) {
    const std::string out = dir / (std::string("piped.") + format);
    const std::string from_file = dir / (std::string("file.") + format);
    const auto piped = RunCommand("cat '" + dir / "c.xml" + "' | " + Cli() + " export - --format " +
                                  format + " -o '" + out + "' --columns FileName,FileSize");
    EXPECT_EQ(piped.status, 0) << format << piped.err;
    const auto file = RunCommand(Cli() + " export '" + dir / "c.xml" + "' --format " + format +
                                 " -o '" + from_file + "' --columns FileName,FileSize");
    EXPECT_EQ(file.status, 0) << format << file.err;
    if (std::string(format) == "csv") {
      EXPECT_EQ(ReadFile(out), ReadFile(from_file));
    } else {
      // The same three rows below the header (the workbook's own zip dates may differ).
      const auto sheet = RunCommand("unzip -p '" + out + "' xl/worksheets/sheet1.xml");
      EXPECT_NE(sheet.out.find("<c r=\"B5\""), std::string::npos) << sheet.out;
      EXPECT_EQ(sheet.out.find("<c r=\"B6\""), std::string::npos) << sheet.out;
    }
  }
}

}  // namespace
}  // namespace lumivor
