#include "config/config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "catalog/attribute_columns.h"
#include "config/app_paths.h"
#include "core/errors.h"
#include "test_util.h"

namespace lumivor {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// The default configuration written out independently of the code: piece by piece with its TABs.
std::string ExpectedDefaultText() {
  const std::vector<std::pair<int, std::string>> pieces = {
      {0, R"(<?xml version="1.0" encoding="utf-8"?>)"},
      {0, R"(<config versionNo="Lumivor V2.6">)"},
      {1, R"(<frame max="True" left="0" top="0" height="600" width="800">)"},
      {2, R"(<plLeft width="308" col1="127" col2="106" col3="76"/>)"},
      {2, R"(<plHint height="262" col1="139" col2="139"/>)"},
      {1, R"(</frame>)"},
      {1, R"(<nodes>)"},
      {2,
       R"(<node Name="FileName" Visible="True" Index="0" DefaultExport="True" Width="172" ReadOnly="False" Align="left"/>)"},
      {2,
       R"(<node Name="FullPath" Visible="True" Index="1" DefaultExport="True" Width="173" ReadOnly="True" Align="left"/>)"},
      {2,
       R"(<node Name="FileSize" Visible="True" Index="2" DefaultExport="True" Width="84" ReadOnly="True" Align="right"/>)"},
      {2,
       R"(<node Name="FileTime" Visible="True" Index="3" DefaultExport="True" Width="112" ReadOnly="True" Align="right"/>)"},
      {2,
       R"(<node Name="FileExt" Visible="True" Index="4" DefaultExport="True" Width="66" ReadOnly="True" Align="right"/>)"},
      {2,
       R"(<node Name="FileType" Visible="False" Index="5" DefaultExport="True" Width="66" ReadOnly="True" Align="left"/>)"},
      {2,
       R"(<node Name="Description" Visible="True" Index="6" DefaultExport="True" Width="124" ReadOnly="False" Align="left"/>)"},
      {2,
       R"(<node Name="FileNameLength" Visible="False" Index="7" DefaultExport="False" Width="100" ReadOnly="True" Align="right"/>)"},
      {2,
       R"(<node Name="PathNameLength" Visible="False" Index="8" DefaultExport="False" Width="100" ReadOnly="True" Align="right"/>)"},
      {2,
       R"(<node Name="SizePercentage" Visible="False" Index="9" DefaultExport="False" Width="100" ReadOnly="True" Align="right"/>)"},
      {2,
       R"(<node Name="CatalogName" Visible="True" Index="10" DefaultExport="True" Width="80" ReadOnly="True" Align="left"/>)"},
      {1, R"(</nodes>)"},
      {0, R"(</config>)"},
  };
  std::string text;
  for (const auto& [tabs, piece] : pieces) text += std::string(tabs, '\t') + piece;
  return text;
}

std::vector<std::string> RowNames(Configuration& config) {
  std::vector<std::string> names;
  const ColumnSettings rows = config.Root().nodes();
  for (int i = 0; i < rows.Count(); ++i) names.push_back(rows.Node(i).Name());
  return names;
}

// A configuration file whose `nodes` element holds `rows` (frame left out).
std::string ConfigWithRows(const std::string& rows) {
  return "<config versionNo=\"x\"><nodes>" + rows + "</nodes></config>";
}

TEST(Config, FirstStartWritesTheDefaultTextByteForByte) {
  TempDir dir;
  Configuration config(dir.Path());
  EXPECT_EQ(DefaultConfigText(), ExpectedDefaultText());
  EXPECT_EQ(ReadFile(dir / "LumivorConfig.xml"), ExpectedDefaultText());
  EXPECT_EQ(config.ConfigFilePath(), dir / "LumivorConfig.xml");
  EXPECT_EQ(config.LoadWarning(), "");

  // The columns a first start shows, and which of them can be edited.
  std::vector<std::string> visible, editable;
  const ColumnSettings rows = config.Root().nodes();
  ASSERT_EQ(rows.Count(), 11);
  for (int i = 0; i < rows.Count(); ++i) {
    EXPECT_EQ(rows.Node(i).Index(), i);
    if (rows.Node(i).Visible()) visible.push_back(rows.Node(i).Name());
    if (!rows.Node(i).ReadOnly()) editable.push_back(rows.Node(i).Name());
  }
  EXPECT_EQ(visible, (std::vector<std::string>{"FileName", "FullPath", "FileSize", "FileTime",
                                               "FileExt", "Description", "CatalogName"}));
  EXPECT_EQ(editable, (std::vector<std::string>{"FileName", "Description"}));
  EXPECT_EQ(DefaultExportFields(config),
            (std::vector<std::string>{"FileName", "FullPath", "FileSize", "FileTime", "FileExt",
                                      "FileType", "Description", "CatalogName"}));

  const WindowFrameSettings frame = config.Root().frame();
  EXPECT_TRUE(frame.max());
  EXPECT_EQ(frame.width(), 800);
  EXPECT_EQ(frame.height(), 600);
  EXPECT_EQ(frame.plLeft().col3(), 76);
  EXPECT_EQ(frame.plHint().height(), 262);
  EXPECT_EQ(config.Root().versionNo(), "Lumivor V2.6");
}

TEST(Config, AttributeColumnsFollowTheFieldsHiddenAndNotExported) {
  TempDir dir;
  Configuration config(dir.Path());
  AddAttributeColumns(config);
  const ColumnSettings rows = config.Root().nodes();
  ASSERT_EQ(rows.Count(), 11 + static_cast<int>(kAttributeColumns.size()));
  EXPECT_EQ(rows.Node(11).Name(), "Title");
  EXPECT_EQ(rows.Node(15).Name(), "Duration");
  EXPECT_EQ(rows.Node(15).Align(), "right");
  EXPECT_EQ(rows.Node(11).Index(), 11);
  for (int i = 11; i < rows.Count(); ++i) {
    EXPECT_FALSE(rows.Node(i).Visible()) << rows.Node(i).Name();
    EXPECT_FALSE(rows.Node(i).DefaultExport()) << rows.Node(i).Name();
    EXPECT_TRUE(rows.Node(i).ReadOnly()) << rows.Node(i).Name();
  }
  std::vector<std::string> names;
  for (int i = 0; i < rows.Count(); ++i) names.push_back(rows.Node(i).Name());
  for (const char* name : {"Hash", "LinkId", "ReadError", "Missing", "VolumeSize", "Camera"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
  }
  // A row the user already has keeps its settings and its place; nothing is added twice.
  rows.Node(12).SetVisible(true);
  AddAttributeColumns(config);
  EXPECT_EQ(rows.Count(), 11 + static_cast<int>(kAttributeColumns.size()));
  EXPECT_TRUE(rows.Node(12).Visible());
  // Only Save writes them.
  EXPECT_EQ(ReadFile(dir / "LumivorConfig.xml"), ExpectedDefaultText());
}

TEST(Config, AnExistingFileIsUsedAsItStands) {
  TempDir dir;
  const std::string text = ConfigWithRows("<node Name=\"FileSize\" Width=\"9\"/>");
  WriteFile(dir / "LumivorConfig.xml", text);
  Configuration config(dir.Path());
  EXPECT_EQ(ReadFile(dir / "LumivorConfig.xml"), text);
  EXPECT_EQ(config.Root().versionNo(), "x");
  EXPECT_EQ(config.Root().nodes().Count(), 1);
  EXPECT_EQ(config.Root().nodes().Node(0).Width(), 9);
}

TEST(Config, SaveWritesTheConfigElementAloneAndKeepsTheRowOrder) {
  TempDir dir;
  {
    Configuration config(dir.Path());
    // The user dragged the columns into reverse order and resized one.
    ColumnSettings rows = config.Root().nodes();
    for (int i = 0; i < rows.Count(); ++i) rows.Node(i).SetIndex(10 - i);
    rows.Node(2).SetWidth(250);
    rows.Node(5).SetVisible(true);
    config.Root().frame().SetMax(false);
    config.Root().frame().SetLeft(-1280);
    config.Save();
  }
  const std::string saved = ReadFile(dir / "LumivorConfig.xml");
  EXPECT_EQ(saved.rfind("<config versionNo=\"Lumivor V2.6\">", 0), 0u) << saved;
  EXPECT_EQ(saved.find("<?xml"), std::string::npos);
  EXPECT_EQ(saved.find_first_of("\t\n"), std::string::npos);
  EXPECT_NE(saved.find("max=\"False\" left=\"-1280\""), std::string::npos) << saved;

  Configuration reloaded(dir.Path());
  EXPECT_EQ(RowNames(reloaded),
            (std::vector<std::string>{"FileName", "FullPath", "FileSize", "FileTime", "FileExt",
                                      "FileType", "Description", "FileNameLength", "PathNameLength",
                                      "SizePercentage", "CatalogName"}));
  const ColumnSettings rows = reloaded.Root().nodes();
  for (int i = 0; i < rows.Count(); ++i) EXPECT_EQ(rows.Node(i).Index(), 10 - i);
  EXPECT_EQ(rows.Node(2).Width(), 250);
  EXPECT_TRUE(rows.Node(5).Visible());
  EXPECT_FALSE(reloaded.Root().frame().max());
  EXPECT_EQ(reloaded.Root().frame().left(), -1280);
}

TEST(Config, ScanChoicesAreOffUntilSetAndThenRemembered) {
  TempDir dir;
  {
    Configuration config(dir.Path());
    EXPECT_EQ(ReadFile(dir / "LumivorConfig.xml"), ExpectedDefaultText());
    EXPECT_FALSE(config.Root().scan().archives());
    EXPECT_FALSE(config.Root().scan().metadata());
    config.Root().scan().SetMetadata(true);
    config.Save();
  }
  EXPECT_NE(ReadFile(dir / "LumivorConfig.xml").find("<scan metadata=\"True\"/>"),
            std::string::npos);
  Configuration reloaded(dir.Path());
  EXPECT_TRUE(reloaded.Root().scan().metadata());
  EXPECT_FALSE(reloaded.Root().scan().archives());

  // A hand-edited value that is not a boolean reads as off.
  WriteFile(dir / "LumivorConfig.xml",
            "<config><scan archives=\"yes\" metadata=\"True\"/></config>");
  Configuration edited(dir.Path());
  EXPECT_FALSE(edited.Root().scan().archives());
  EXPECT_TRUE(edited.Root().scan().metadata());
}

TEST(Config, AFailedSaveRaisesAndLeavesNoTemporaryFile) {
  TempDir dir;
  // A directory where the file belongs: it cannot be read, and cannot be replaced either.
  std::filesystem::create_directory(dir / "LumivorConfig.xml");
  Configuration config(dir.Path());
  EXPECT_NE(config.LoadWarning().find(dir / "LumivorConfig.xml"), std::string::npos)
      << config.LoadWarning();
  EXPECT_EQ(config.Root().nodes().Count(), 11);  // the defaults, in memory
  EXPECT_THROW(config.Save(), LumivorError);
  EXPECT_THROW(config.WriteDefaultFile(), LumivorError);
  EXPECT_TRUE(std::filesystem::is_directory(dir / "LumivorConfig.xml"));
  EXPECT_FALSE(std::filesystem::exists(dir / "LumivorConfig.xml.bad"));
  std::vector<std::string> entries;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    entries.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(entries, std::vector<std::string>{"LumivorConfig.xml"});
}

TEST(Config, HandEditedRowsAreReadInDocumentOrderByTheirOwnNames) {
  TempDir dir;
  WriteFile(dir / "LumivorConfig.xml",
            ConfigWithRows("<node Name=\"Description\" Visible=\"True\" Index=\"0\" "
                           "DefaultExport=\"False\" Width=\"50\" ReadOnly=\"False\" "
                           "Align=\"center\"/>"
                           "<!-- a note --><column Name=\"FullPath\"/>"
                           "<node Name=\"FileSize\" Visible=\"False\" Index=\"1\" "
                           "DefaultExport=\"True\" Width=\"60\" ReadOnly=\"True\" "
                           "Align=\"Right\"/>"
                           "<node Name=\"Bogus\"/>"));
  Configuration config(dir.Path());
  EXPECT_EQ(config.LoadWarning(), "");
  const ColumnSettings rows = config.Root().nodes();
  // Only `node` elements are rows; the other child does not shift the numbering.
  ASSERT_EQ(rows.Count(), 3);
  EXPECT_EQ(RowNames(config), (std::vector<std::string>{"Description", "FileSize", "Bogus"}));
  EXPECT_EQ(rows.Node(0).Align(), "center");
  EXPECT_EQ(rows.Node(0).Width(), 50);
  EXPECT_FALSE(rows.Node(0).DefaultExport());
  // Letter case is kept as written; deciding that "Right" is not "right" is the view's job.
  EXPECT_EQ(rows.Node(1).Align(), "Right");
  EXPECT_FALSE(rows.Node(1).Visible());
  // An unknown name keeps its text, and its missing values are those of the FileName row.
  EXPECT_EQ(rows.Node(2).Width(), 172);
  EXPECT_FALSE(rows.Node(2).ReadOnly());
  EXPECT_EQ(rows.Node(2).Index(), 0);
  EXPECT_EQ(rows.Node(2).Align(), "left");
  EXPECT_EQ(rows.Node(3).Element(), pugi::xml_node());
  EXPECT_EQ(rows.Node(-1).Element(), pugi::xml_node());
  EXPECT_EQ(DefaultExportFields(config), (std::vector<std::string>{"FileSize", "Bogus"}));
}

TEST(Config, MissingAndBrokenValuesReadAsTheDefaultsOfTheirElementAndRow) {
  TempDir dir;
  WriteFile(dir / "LumivorConfig.xml",
            "<config><frame max=\"true\" left=\"-7\" top=\"abc\" height=\"\" width=\"12px\">"
            "<plHint height=\"99999999999\" col1=\"+5\"/></frame><nodes>"
            "<node Name=\"FileSize\"/>"
            "<node Name=\"PathNameLength\" Visible=\"yes\" Index=\" 3\" DefaultExport=\"1\" "
            "Width=\"\" ReadOnly=\"FALSE\" Align=\"\"/>"
            "<node Visible=\"False\"/>"
            "</nodes></config>");
  Configuration config(dir.Path());
  EXPECT_EQ(config.LoadWarning(), "");
  const WindowFrameSettings frame = config.Root().frame();
  EXPECT_TRUE(frame.max());                 // "true" is not a boolean of this file
  EXPECT_EQ(frame.left(), -7);              // negative positions are valid
  EXPECT_EQ(frame.top(), 0);                // not a number
  EXPECT_EQ(frame.height(), 600);           // empty
  EXPECT_EQ(frame.width(), 800);            // trailing junk
  EXPECT_EQ(frame.plHint().height(), 262);  // out of range
  EXPECT_EQ(frame.plHint().col1(), 139);    // a sign other than minus
  EXPECT_EQ(frame.plHint().col2(), 139);    // missing
  EXPECT_EQ(frame.plLeft().width(), 308);   // missing element
  EXPECT_EQ(config.Root().versionNo(), "Lumivor V2.6");

  const ColumnSettings rows = config.Root().nodes();
  ASSERT_EQ(rows.Count(), 3);
  // Everything missing: the FileSize row of the defaults.
  const ColumnSetting size = rows.Node(0);
  EXPECT_TRUE(size.Visible());
  EXPECT_EQ(size.Index(), 2);
  EXPECT_TRUE(size.DefaultExport());
  EXPECT_EQ(size.Width(), 84);
  EXPECT_TRUE(size.ReadOnly());
  EXPECT_EQ(size.Align(), "right");
  // Everything broken: the PathNameLength row; an empty text attribute is a value, though.
  const ColumnSetting length = rows.Node(1);
  EXPECT_FALSE(length.Visible());
  EXPECT_EQ(length.Index(), 8);
  EXPECT_FALSE(length.DefaultExport());
  EXPECT_EQ(length.Width(), 100);
  EXPECT_TRUE(length.ReadOnly());
  EXPECT_EQ(length.Align(), "");
  // No name: the row shows FileName, with FileName's defaults.
  EXPECT_EQ(rows.Node(2).Name(), "FileName");
  EXPECT_FALSE(rows.Node(2).Visible());
  EXPECT_EQ(rows.Node(2).Width(), 172);

  // Writing a value that was broken repairs it.
  rows.Node(1).SetWidth(33);
  config.Root().frame().SetTop(-20);
  config.Save();
  Configuration reloaded(dir.Path());
  EXPECT_EQ(reloaded.Root().nodes().Node(1).Width(), 33);
  EXPECT_EQ(reloaded.Root().frame().top(), -20);
}

TEST(Config, ANotWellFormedFileIsKeptAsBadAndTheDefaultsAreUsed) {
  TempDir dir;
  const std::string truncated = ExpectedDefaultText().substr(0, 300);
  WriteFile(dir / "LumivorConfig.xml", truncated);
  WriteFile(dir / "LumivorConfig.xml.bad", "an older broken file");
  Configuration config(dir.Path());
  EXPECT_EQ(ReadFile(dir / "LumivorConfig.xml.bad"), truncated);
  EXPECT_EQ(ReadFile(dir / "LumivorConfig.xml"), ExpectedDefaultText());
  EXPECT_NE(config.LoadWarning().find(dir / "LumivorConfig.xml.bad"), std::string::npos)
      << config.LoadWarning();
  EXPECT_EQ(config.Root().nodes().Count(), 11);
  EXPECT_EQ(config.Root().frame().width(), 800);

  // The next start finds a sound file and says nothing.
  Configuration next(dir.Path());
  EXPECT_EQ(next.LoadWarning(), "");
}

TEST(Config, EmptyFilesAndForeignDocumentsCountAsBroken) {
  for (const std::string& text :
       {std::string(), std::string("<fileinfo/>"), std::string("\xEF\xBB\xBF plain words")}) {
    TempDir dir;
    WriteFile(dir / "LumivorConfig.xml", text);
    Configuration config(dir.Path());
    EXPECT_FALSE(config.LoadWarning().empty()) << text;
    EXPECT_EQ(ReadFile(dir / "LumivorConfig.xml.bad"), text);
    EXPECT_EQ(ReadFile(dir / "LumivorConfig.xml"), ExpectedDefaultText());
    EXPECT_EQ(config.Root().nodes().Count(), 11);
  }
}

TEST(Config, ATableWithoutRowsGetsTheDefaultRows) {
  for (const std::string& text : {std::string("<config><frame/></config>"),
                                  std::string("<config><nodes><column/></nodes></config>")}) {
    TempDir dir;
    WriteFile(dir / "LumivorConfig.xml", text);
    Configuration config(dir.Path());
    EXPECT_EQ(config.LoadWarning(), "");
    EXPECT_EQ(RowNames(config).size(), 11u) << text;
    EXPECT_EQ(config.Root().nodes().Node(10).Name(), "CatalogName");
  }
}

TEST(Config, RowsCanBeAddedAndInsertedAmongOtherChildren) {
  TempDir dir;
  WriteFile(dir / "LumivorConfig.xml",
            ConfigWithRows("<node Name=\"FullPath\"/><node Name=\"FileSize\"/><other/>"));
  Configuration config(dir.Path());
  ColumnSettings rows = config.Root().nodes();
  rows.Insert(0).SetName("FileName");
  rows.Insert(2).SetName("FileTime");
  rows.Add().SetName("CatalogName");
  rows.Insert(99).SetName("FileExt");
  EXPECT_EQ(RowNames(config), (std::vector<std::string>{"FileName", "FullPath", "FileTime",
                                                        "FileSize", "CatalogName", "FileExt"}));
  // A value over no element reads defaults and ignores writes.
  ColumnSetting none;
  none.SetWidth(5);
  EXPECT_EQ(none.Width(), 172);
  EXPECT_EQ(ConfigRoot().frame().plLeft().col1(), 127);
  EXPECT_EQ(ColumnSettings().Add().Element(), pugi::xml_node());
}

TEST(Config, LibraryPathLiesBesideTheFileAndStaysFixed) {
  TempDir dir;
  Configuration config(dir.Path() + "/");
  EXPECT_EQ(config.ConfigFilePath(), dir / "LumivorConfig.xml");
  const std::string& first = config.LibraryPath();
  EXPECT_EQ(first, dir / "CatalogLibrary");
  EXPECT_FALSE(std::filesystem::exists(first));  // created at start-up, not here
  const std::string cwd = std::filesystem::current_path().string();
  std::filesystem::current_path("/");
  EXPECT_EQ(&config.LibraryPath(), &first);
  EXPECT_EQ(config.LibraryPath(), dir / "CatalogLibrary");
  std::filesystem::current_path(cwd);
}

TEST(AppPaths, TheDataDirectoryIsTheExecutablesWhenWritable) {
  const std::string executable_directory = ExecutableDirectory();
  EXPECT_EQ(executable_directory,
            std::filesystem::read_symlink("/proc/self/exe").parent_path().string());
  const std::string data = DefaultDataDirectory();
  EXPECT_EQ(DefaultDataDirectory(), data);
  EXPECT_TRUE(std::filesystem::is_directory(data));
  if (::access(executable_directory.c_str(), W_OK) == 0) {
    EXPECT_EQ(data, executable_directory);
  } else {
    EXPECT_EQ(std::filesystem::path(data).filename(), "lumivor");
  }
}

TEST(AppPaths, OnlyAProgramInItsLiveBuildTreeCountsAsRunningFromIt) {
  TempDir dir;
  const std::string build = dir / "build";
  std::filesystem::create_directories(build + "/src");
  // Without the build system's cache the folder is no (longer a) build tree.
  EXPECT_FALSE(RunsFromBuildTree(build + "/src", build));
  WriteFile(build + "/CMakeCache.txt", "");
  EXPECT_TRUE(RunsFromBuildTree(build + "/src", build));
  EXPECT_TRUE(RunsFromBuildTree(build, build + "/"));
  // A sibling whose name merely starts the same, an installed prefix, and unknown places.
  EXPECT_FALSE(RunsFromBuildTree(build + "-release/src", build));
  EXPECT_FALSE(RunsFromBuildTree(dir / "prefix/bin", build));
  EXPECT_FALSE(RunsFromBuildTree("", build));
  EXPECT_FALSE(RunsFromBuildTree(build + "/src", ""));
}

}  // namespace
}  // namespace lumivor
