// Imports of listings made by the real tools over generated trees, compared with a scan of the
// same tree and with digests computed here.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "catalog/catalog_file.h"
#include "catalog/fields.h"
#include "test_util.h"

namespace lumivor {
namespace {

using testing::Cli;
using testing::ReadFile;
using testing::RunCommand;
using testing::TempDir;
using testing::WriteFile;

bool HaveTool(const std::string& name) { return RunCommand("command -v " + name).status == 0; }

// Every record of a catalog by its path below the top ("" for the top), with its fields and
// further attributes as "Name=value" lines.
std::map<std::string, std::map<std::string, std::string>> Records(const std::string& catalog) {
  const CatalogTree tree = LoadCatalog(catalog);
  std::map<std::string, std::map<std::string, std::string>> records;
  const std::string top = tree.Top() ? tree.Top()->Field(kFullPath) : std::string();
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int) {
    std::string path = node->Field(kFullPath);
    path = path.size() > top.size() ? path.substr(top.size() + 1) : std::string();
    auto& fields = records[path];
    for (int i = 0; i < kFieldCount; ++i) {
      if (!node->Field(i).empty()) fields[std::string(FieldNames[i])] = node->Field(i);
    }
    for (const ExtraAttribute& extra : node->Extras()) {
      fields[std::string(extra.name)] = std::string(extra.value);
    }
  });
  return records;
}

// The value of `name` in `fields`; empty when absent.
std::string Get(const std::map<std::string, std::string>& fields, const std::string& name) {
  const auto found = fields.find(name);
  return found == fields.end() ? std::string() : found->second;
}

class ImportCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_ = dir_ / "tree";
    WriteFile(tree_ + "/a.txt", "hello\n");
    WriteFile(tree_ + "/Notes.TAR.GZ", std::string(1000, 'x'));
    WriteFile(tree_ + "/sub/b.bin", std::string(3000, 'b'));
    WriteFile(tree_ + "/sub/deeper/zero", "");
    WriteFile(tree_ + "/sub/ünïcode name.txt", "u");
    std::filesystem::create_directories(tree_ + "/empty");
    ASSERT_EQ(::link((tree_ + "/a.txt").c_str(), (tree_ + "/hard.txt").c_str()), 0);
    // Times the catalog can show exactly, and one odd second (taken at two-second resolution).
    ASSERT_EQ(RunCommand("touch -d '2021-03-04 05:06:07' '" + tree_ + "/a.txt'").status, 0);
    library_ = dir_ / "lib";
    std::filesystem::create_directories(library_);
  }

  // Runs `lumivor-cli import` and returns what it printed; the command must succeed.
  std::string Import(const std::string& arguments) {
    const auto result =
        RunCommand(Cli() + " import " + arguments + " --library '" + library_ + "'");
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out;
  }

  std::map<std::string, std::map<std::string, std::string>> Scanned() {
    const auto result =
        RunCommand(Cli() + " scan '" + tree_ + "' --name scanned --library '" + library_ + "'");
    EXPECT_EQ(result.status, 0) << result.err;
    return Records(library_ + "/scanned.xml");
  }

  TempDir dir_;
  std::string tree_, library_;
};

TEST_F(ImportCommand, NcduExtendedExportEqualsAScanInEveryField) {
  if (!HaveTool("ncdu")) GTEST_SKIP() << "ncdu is not installed";
  ASSERT_EQ(RunCommand("ncdu -e -o '" + dir_ / "e.json" + "' '" + tree_ + "'").status, 0);
  ASSERT_EQ(RunCommand("ncdu -o '" + dir_ / "plain.json" + "' '" + tree_ + "'").status, 0);
  const std::string out = Import("'" + dir_ / "e.json" + "' --name scanned-e");
  EXPECT_EQ(out, library_ + "/scanned-e.xml\nentries=10 folders=4 files=6 hashed=0 skipped=0\n");
  auto imported = Records(library_ + "/scanned-e.xml");
  auto scanned = Scanned();
  ASSERT_EQ(imported.size(), scanned.size());
  // Both names of the hard link are files marked with the one inode they share.
  EXPECT_EQ(imported["a.txt"]["LinkId"], imported["hard.txt"]["LinkId"]);
  EXPECT_NE(imported["a.txt"]["LinkId"], "");
  for (auto& [path, fields] : scanned) {
    SCOPED_TRACE(path);
    auto& mine = imported[path];
    // The scan's own facts of the medium, and the import's, are no fields of the tree.
    for (const char* name : {"VolumeLabel", "VolumeId", "FileSystem", "VolumeSize", "VolumeFree",
                             "ScanDate", "VolumeFolder", "ImportedFrom", "CatalogName", "LinkId"}) {
      fields.erase(name);
      mine.erase(name);
    }
    EXPECT_EQ(mine, fields);
  }
  EXPECT_EQ(imported[""]["FileName"], tree_);

  // Without -e ncdu has no times: the fields stay empty rather than invented.
  Import("'" + dir_ / "plain.json" + "' --name plain --format ncdu");
  auto plain = Records(library_ + "/plain.xml");
  EXPECT_EQ(plain["a.txt"].count("FileTime"), 0u);
  EXPECT_EQ(plain["sub"]["FileSize"], scanned["sub"]["FileSize"]);
}

TEST_F(ImportCommand, MtreeFromBsdtarCarriesTypesSizesTimesAndDigests) {
  if (!HaveTool("bsdtar")) GTEST_SKIP() << "bsdtar is not installed";
  ASSERT_EQ(::symlink("a.txt", (tree_ + "/link").c_str()), 0);
  const std::string spec = dir_ / "tree.mtree";
  ASSERT_EQ(RunCommand("bsdtar --format=mtree --options=mtree:sha256,mtree:md5 -cf '" + spec +
                       "' -C '" + tree_ + "' .")
                .status,
            0);
  EXPECT_EQ(Import("'" + spec + "' --name m"),
            library_ + "/m.xml\nentries=11 folders=4 files=7 hashed=6 skipped=0\n");
  auto imported = Records(library_ + "/m.xml");
  auto scanned = Scanned();
  for (const auto& [path, fields] : scanned) {
    if (path.empty()) continue;
    SCOPED_TRACE(path);
    const auto& mine = imported.at(path);
    for (const char* name : {"FileName", "FileTime", "FileExt", "FileType", "FileNameLength"}) {
      EXPECT_EQ(Get(mine, name), Get(fields, name)) << name;
    }
    if (fields.at("FileType") == "directory" || path != "link") {
      EXPECT_EQ(mine.at("FileSize"), fields.at("FileSize"));
    }
  }
  EXPECT_EQ(imported["link"]["LinkTarget"], "a.txt");
  EXPECT_EQ(imported["link"].count("FileSize"), 0u);  // mtree gives a link no size
  const auto digest = RunCommand("sha256sum '" + tree_ + "/sub/b.bin' | cut -c1-64");
  EXPECT_EQ(imported["sub/b.bin"]["Hash"] + "\n", "sha256:" + digest.out);
  const auto md5 = RunCommand("md5sum '" + tree_ + "/a.txt' | cut -c1-32");
  EXPECT_EQ(imported["a.txt"]["Hash-md5"] + "\n", "md5:" + md5.out);
}

TEST_F(ImportCommand, HashdeepAndMd5deepListsBuildTheFoldersFromThePaths) {
  if (!HaveTool("hashdeep")) GTEST_SKIP() << "hashdeep is not installed";
  const std::string manifest = dir_ / "tree.hashdeep";
  ASSERT_EQ(RunCommand("(hashdeep -r -c md5,sha256 '" + tree_ + "' > '" + manifest + "')").status,
            0);
  ASSERT_EQ(RunCommand("(md5deep -r '" + tree_ + "' > '" + dir_ / "tree.md5" + "')").status, 0);
  EXPECT_EQ(Import("'" + manifest + "' --name h"),
            library_ + "/h.xml\nentries=9 folders=3 files=6 hashed=6 skipped=0\n");
  auto imported = Records(library_ + "/h.xml");
  auto scanned = Scanned();
  EXPECT_EQ(imported[""]["FileName"], tree_);
  EXPECT_EQ(imported[""]["FileSize"], scanned[""]["FileSize"]);
  for (const auto& [path, fields] : scanned) {
    if (fields.at("FileType") != "file") continue;
    SCOPED_TRACE(path);
    const auto& mine = imported.at(path);
    for (const char* name : {"FileName", "FullPath", "FileSize", "FileExt", "FileNameLength",
                             "PathNameLength", "SizePercentage"}) {
      EXPECT_EQ(Get(mine, name), Get(fields, name)) << name;
    }
    const auto digest = RunCommand(
        "python3 -c \"import hashlib,sys; print(hashlib.sha256("
        "open(sys.argv[1],'rb').read()).hexdigest())\" '" +
        tree_ + "/" + path + "'");
    EXPECT_EQ(mine.at("Hash") + "\n", "sha256:" + digest.out);
  }
  EXPECT_EQ(imported["sub"]["FileSize"], scanned["sub"]["FileSize"]);

  // md5deep's plain lines, read from standard input.
  const auto piped = RunCommand("cat '" + dir_ / "tree.md5" + "' | " + Cli() +
                                " import - --name md --library '" + library_ + "'");
  ASSERT_EQ(piped.status, 0) << piped.err;
  auto md = Records(library_ + "/md.xml");
  EXPECT_EQ(md["a.txt"]["Hash"], imported["a.txt"]["Hash-md5"]);
  EXPECT_EQ(md["a.txt"].count("FileSize"), 0u);  // md5deep gives no sizes
}

TEST_F(ImportCommand, CatcliStoragesBecomeCatalogsNamedAfterThem) {
  // catcli writes its members sorted, so a folder's children come before its name.
  const std::string catalog = R"({
  "children": [
    {"attr": "backup disk", "children": [
       {"maccess": 1666206037.0786593, "md5": "0C6407A84D412C514007313FB3BCA4DE",
        "name": "FUNDING.yml", "size": 17, "type": "file"},
       {"children": [{"maccess": 1666206037.5, "name": "ci.yml", "size": 691, "type": "file"}],
        "maccess": 1704320727.2641916, "name": "workflows", "size": 691, "type": "dir"}],
     "free": 1000, "name": "github", "size": 708, "total": 5000, "ts": 1704923096,
     "type": "storage"},
    {"attr": "", "children": [], "free": 0, "name": "../../etc", "total": 0, "ts": 1704923096,
     "type": "storage"},
    {"attr": {"access": 1704923096, "created": 1704923096}, "name": "meta", "size": null,
     "type": "meta"}],
  "name": "top", "size": null, "type": "top"})";
  WriteFile(dir_ / "cat.json", catalog);
  EXPECT_EQ(Import("'" + dir_ / "cat.json" + "' --name disk --group Imported"),
            library_ + "/Imported/disk-github.xml\n" + library_ +
                "/Imported/disk-______etc.xml\nentries=5 folders=3 files=2 hashed=1 skipped=0\n");
  auto records = Records(library_ + "/Imported/disk-github.xml");
  EXPECT_EQ(records[""]["FileName"], "github");
  EXPECT_EQ(records[""]["Description"], "backup disk");
  EXPECT_EQ(records[""]["VolumeSize"], "5000");
  EXPECT_EQ(records[""]["VolumeFree"], "1000");
  EXPECT_EQ(records[""]["FileSize"], "708");
  EXPECT_EQ(records["FUNDING.yml"]["Hash"], "md5:0c6407a84d412c514007313fb3bca4de");
  EXPECT_EQ(records["FUNDING.yml"]["FileTime"], FormatFileTime(1666206036));
  EXPECT_EQ(records["workflows"]["FileType"], "directory");
  EXPECT_EQ(records["workflows/ci.yml"]["FullPath"], "github/workflows/ci.yml");

  // gocatcli: storages under "storages", tags as a list.
  WriteFile(dir_ / "go.json", R"({"storages": [{"name": "usb", "tags": ["a", "b"], "meta": "m",
    "free": 1, "total": 2, "ts": 3, "type": "storage", "children": [
      {"name": "f.txt", "type": "file", "size": 5, "maccess": 1600000000, "md5": ""}]}],
    "tool": "gocatcli", "version": "1"})");
  Import("'" + dir_ / "go.json" + "' --name go --format catcli");
  auto go = Records(library_ + "/go.xml");
  EXPECT_EQ(go[""]["Tags"], "a,b");
  EXPECT_EQ(go["f.txt"]["FileSize"], "5");
  EXPECT_EQ(go["f.txt"].count("Hash"), 0u);
}

TEST_F(ImportCommand, DamagedListingsAreRefusedWithTheirPlaceAndLeaveNoCatalog) {
  const std::string ncdu =
      "[1,2,{\"progname\":\"ncdu\"},\n[{\"name\":\"/x\"},\n{\"name\":\"a\",\"asize\":3},\n"
      "[{\"name\":\"d\"},{\"name\":\"b\"}]]]\n";
  struct Case {
    std::string name, text, message;
  };
  const std::vector<Case> cases = {
      {"cut.json", ncdu.substr(0, 50), "cut.json: byte 50 (line 3): unexpected end of file"},
      {"comma.json", "[1,2,{}\n[{\"name\":\"/x\"}]]",
       "comma.json: byte 9 (line 2): expected ',' or ']'"},
      {"major.json", "[2,0,{},[{\"name\":\"/x\"}]]", "ncdu export version 2 is not supported"},
      {"noname.json", "[1,0,{},[{\"asize\":1}]]", "an entry without a name"},
      {"cut.hashdeep",
       "%%%% HASHDEEP-1.0\n%%%% size,md5,filename\n3,d41d8cd98f00b204e9800998ecf8427e,/a/b\n6,x",
       "cut.hashdeep: line 4: truncated: the last line has no line end"},
      {"digest.hashdeep", "%%%% HASHDEEP-1.0\n%%%% size,md5,filename\n3,zz,/a/b\n",
       "digest.hashdeep: line 3: malformed md5 digest"},
      {"unknown.txt", "hello world\n", "unknown.txt: not a listing that can be imported"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(dir_ / c.name, c.text);
    const auto result = RunCommand("cd '" + dir_.Path() + "' && " + Cli() + " import " + c.name +
                                   " --name bad --library '" + library_ + "'");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1);
    EXPECT_FALSE(std::filesystem::exists(library_ + "/bad.xml"));
  }
  EXPECT_TRUE(std::filesystem::is_empty(library_));
}

TEST_F(ImportCommand, HostileNamesStayInsideTheCatalog) {
  // Names that cannot be entries, control characters, bytes that are not UTF-8, a size no disk
  // holds, and a path that climbs out of the listing.
  WriteFile(dir_ / "hostile.json",
            "[1,2,{},[{\"name\":\"/m\"},{\"name\":\"..\"},{\"name\":\"a/b\",\"asize\":1},"
            "{\"name\":\"bell\\u0007\\ud800\",\"asize\":2},{\"name\":\"bad\xff\xfe\",\"asize\":3},"
            "{\"name\":\"huge\",\"asize\":1e400},{\"name\":\"neg\",\"asize\":-5},"
            "[{\"name\":\"..\"},{\"name\":\"inside\"}]]]\n");
  EXPECT_EQ(Import("'" + dir_ / "hostile.json" + "' --name hostile"),
            library_ + "/hostile.xml\nentries=5 folders=1 files=4 hashed=0 skipped=4\n");
  auto records = Records(library_ + "/hostile.xml");
  EXPECT_EQ(records["bell\xEF\xBF\xBD\xEF\xBF\xBD"]["FileSize"], "2");
  EXPECT_EQ(records["bad\xEF\xBF\xBD\xEF\xBF\xBD"]["FileSize"], "3");
  EXPECT_EQ(records["huge"].count("FileSize"), 0u);
  EXPECT_EQ(records[""]["FileSize"], "5");

  WriteFile(dir_ / "climb.md5",
            "d41d8cd98f00b204e9800998ecf8427e  ../../outside\n"
            "d41d8cd98f00b204e9800998ecf8427e  ok/./x\n"
            "d41d8cd98f00b204e9800998ecf8427e  ok/x\n");
  EXPECT_EQ(Import("'" + dir_ / "climb.md5" + "' --name climb"),
            library_ + "/climb.xml\nentries=2 folders=1 files=1 hashed=1 skipped=2\n");
  // A name for the catalog that would leave its folder is refused before anything is read.
  const auto refused = RunCommand(Cli() + " import '" + dir_ / "climb.md5" +
                                  "' --name ../out --library '" + library_ + "'");
  EXPECT_EQ(refused.status, 1);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out.xml"));
}

TEST_F(ImportCommand, ExistingCatalogsAreKeptUnlessForced) {
  WriteFile(dir_ / "one.md5", "d41d8cd98f00b204e9800998ecf8427e  /x/y\n");
  Import("'" + dir_ / "one.md5" + "' --name keep");
  const std::string before = ReadFile(library_ + "/keep.xml");
  const auto again = RunCommand(Cli() + " import '" + dir_ / "one.md5" +
                                "' --name keep --library '" + library_ + "'");
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("use --force to overwrite"), std::string::npos);
  Import("'" + dir_ / "one.md5" + "' --name keep --force");
  EXPECT_EQ(ReadFile(library_ + "/keep.xml"), before);
}

}  // namespace
}  // namespace lumivor

namespace lumivor {
namespace {

TEST_F(ImportCommand, NcduExportIsReadByNcduAndImportsBackToTheSameTree) {
  auto scanned = Scanned();
  const std::string out = dir_ / "export.json";
  const auto exported =
      RunCommand(Cli() + " export '" + library_ + "/scanned.xml' --format ncdu -o '" + out + "'");
  ASSERT_EQ(exported.status, 0) << exported.err;
  Import("'" + out + "' --name back");
  auto back = Records(library_ + "/back.xml");
  const auto strip = [](auto& records) {
    for (auto& [path, fields] : records) {
      for (const char* name :
           {"VolumeLabel", "VolumeId", "FileSystem", "VolumeSize", "VolumeFree", "ScanDate",
            "VolumeFolder", "ImportedFrom", "CatalogName", "LinkId"}) {
        fields.erase(name);
      }
    }
  };
  strip(scanned);
  strip(back);
  EXPECT_EQ(back, scanned);
  if (!HaveTool("ncdu")) GTEST_SKIP() << "ncdu is not installed";
  // ncdu reads it, and writes back the same tree.
  const std::string again = dir_ / "again.json";
  ASSERT_EQ(RunCommand("ncdu -e -f '" + out + "' -o '" + again + "'").status, 0);
  Import("'" + again + "' --name again");
  auto ncdu_again = Records(library_ + "/again.xml");
  strip(ncdu_again);
  EXPECT_EQ(ncdu_again, scanned);
}

}  // namespace
}  // namespace lumivor
