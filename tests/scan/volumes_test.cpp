#include "scan/volumes.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "support/fake_volumes.h"
#include "test_util.h"

namespace lumivor {
namespace {

using testing::TempDir;

TEST(ParseMountInfo, ReadsPointsTypesAndSourcesWithEscapes) {
  const auto mounts = ParseMountInfo(
      "27 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
      "61 27 8:17 / /media/u/My\\040Disk rw,nosuid shared:12 master:3 - vfat /dev/sdb1 rw\n"
      "62 27 8:2 /srv/data /mnt/bind rw - btrfs /dev/sda2 rw,subvol=/data\n"
      "garbage line without separator\n"
      "63 27 0:50 / /mnt/share rw - cifs //server/My\\134Share rw");
  ASSERT_EQ(mounts.size(), 4u);
  EXPECT_EQ(mounts[0].point, "/");
  EXPECT_EQ(mounts[0].type, "ext4");
  EXPECT_EQ(mounts[0].source, "/dev/vda");
  EXPECT_EQ(mounts[1].point, "/media/u/My Disk");
  EXPECT_EQ(mounts[1].type, "vfat");
  EXPECT_EQ(mounts[1].root, "/");
  EXPECT_EQ(mounts[2].root, "/srv/data");
  EXPECT_EQ(mounts[3].source, "//server/My\\Share");
}

TEST(IsPseudoFileSystem, KernelInterfacesAndScratchSpaceAreNotDrives) {
  for (const char* type : {"proc", "sysfs", "cgroup2", "devpts", "tmpfs", "devtmpfs", "mqueue"}) {
    EXPECT_TRUE(IsPseudoFileSystem(type)) << type;
  }
  for (const char* type : {"ext4", "btrfs", "vfat", "xfs", "nfs4", "fuse.sshfs", "overlay"}) {
    EXPECT_FALSE(IsPseudoFileSystem(type)) << type;
  }
}

TEST(SystemVolumes, KnowsTheRealMountPointsOnly) {
  const SystemVolumes volumes;
  const VolumeService& service = volumes;
  EXPECT_FALSE(service.IsDriveRoot("/proc"));
  EXPECT_FALSE(service.IsDriveRoot("proc"));
  EXPECT_FALSE(service.IsDriveRoot(""));
  EXPECT_EQ(service.LabelOf("/proc"), "");
  TempDir dir;
  EXPECT_FALSE(service.IsDriveRoot(dir.Path()));
  EXPECT_EQ(service.LabelOf(dir.Path()), "");
  // "/" is a real file system on any machine that runs these tests from a disk.
  bool root_is_real = false;
  for (const auto& mount : ParseMountInfo(testing::ReadFile("/proc/self/mountinfo"))) {
    if (mount.point == "/") root_is_real = !IsPseudoFileSystem(mount.type);
  }
  if (!root_is_real) GTEST_SKIP() << "the root file system is not a disk here";
  EXPECT_TRUE(service.IsDriveRoot("/"));
  EXPECT_TRUE(service.IsDriveRoot("//"));
}

TEST(SystemVolumes, NoticesMountsMadeAfterTheFirstQuestion) {
  TempDir dir;
  // A private mount namespace in a child leaves the machine's mounts alone.
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::string result;
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      result = "SKIP";
    } else {
      const SystemVolumes volumes;
      result += volumes.IsDriveRoot(dir.Path()) ? "drive " : "folder ";
      if (::mount(dir.Path().c_str(), dir.Path().c_str(), nullptr, MS_BIND, nullptr) != 0) {
        result = "SKIP";
      } else {
        result += volumes.IsDriveRoot(dir.Path() + "/") ? "drive " : "folder ";
        // A bind mount of a folder shows no volume label.
        result += "label=" + volumes.LabelOf(dir.Path()) + " ";
        ::umount(dir.Path().c_str());
        result += volumes.IsDriveRoot(dir.Path()) ? "drive" : "folder";
      }
    }
    const ssize_t ignored = ::write(pipe_fds[1], result.data(), result.size());
    (void)ignored;
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::string result;
  char buffer[256];
  ssize_t got;
  while ((got = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) result.append(buffer, got);
  ::close(pipe_fds[0]);
  ::waitpid(pid, nullptr, 0);
  if (result == "SKIP") GTEST_SKIP() << "no mount namespace for this user";
  EXPECT_EQ(result, "folder drive label= folder");
}

TEST(DisplayNameOf, NamesDrivesByLabelAndFoldersByLastComponent) {
  FakeVolumes volumes({{"/media/u/PHOTOS", "Holiday 2024"}, {"/media/u/USB/", ""}, {"/", ""}});
  SetVolumes(&volumes);
  EXPECT_EQ(DisplayNameOf("/media/u/PHOTOS/"), "Holiday 2024");
  EXPECT_EQ(DisplayNameOf("/media/u/USB"), "USB");
  EXPECT_EQ(DisplayNameOf("/"), "/");
  EXPECT_EQ(DisplayNameOf("/lib/Music.2009.xml"), "Music");
  EXPECT_EQ(DisplayNameOf("/data/Photos/"), "Photos");
  EXPECT_EQ(VolumeLabelOf("/media/u/PHOTOS"), "Holiday 2024");
  SetVolumes(nullptr);
}

TEST(ParseMountInfo, ReadsTheDeviceNumber) {
  const auto mounts = ParseMountInfo("61 27 8:17 / /media/u/Disk rw - vfat /dev/sdb1 rw\n");
  ASSERT_EQ(mounts.size(), 1u);
  EXPECT_EQ(mounts[0].major, 8u);
  EXPECT_EQ(mounts[0].minor, 17u);
}

TEST(SystemVolumes, FactsOfAFolderComeFromItsFileSystem) {
  TempDir dir;
  const std::string folder = dir / "inner";
  std::filesystem::create_directories(folder);
  const SystemVolumes volumes;
  const VolumeFacts facts = volumes.FactsOf(folder);
  ASSERT_FALSE(facts.file_system.empty());
  // The folder within its file system ends with the folder's own path below the temporary root.
  const std::string tail = "/" + std::filesystem::path(dir.Path()).filename().string() + "/inner";
  ASSERT_GE(facts.folder.size(), tail.size());
  EXPECT_EQ(facts.folder.substr(facts.folder.size() - tail.size()), tail);
  ASSERT_FALSE(facts.size.empty());
  EXPECT_EQ(facts.size.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_LE(std::stoull(facts.free), std::stoull(facts.size));
  EXPECT_EQ(volumes.FactsOf(dir / "absent").file_system, "");
}

TEST(MountedFolderOf, FindsTheVolumeByIdElseByLabel) {
  FakeVolumes volumes({{"/media/u/NEWNAME", "Backup", "1234-ABCD", "vfat"},
                       {"/mnt/other", "Photos", "", "ext4"},
                       {"/", "", "root-uuid", "ext4"}});
  SetVolumes(&volumes);
  VolumeFacts facts;
  facts.id = "1234-ABCD";
  facts.label = "Old label";
  facts.folder = "/";
  EXPECT_EQ(MountedFolderOf(facts), "/media/u/NEWNAME");
  facts.folder = "/Music/2009";
  EXPECT_EQ(MountedFolderOf(facts), "/media/u/NEWNAME/Music/2009");
  facts.id = "9999";  // another volume with the same label is not the one
  facts.label = "Backup";
  EXPECT_EQ(MountedFolderOf(facts), "");
  facts.id = "";
  EXPECT_EQ(MountedFolderOf(facts), "/media/u/NEWNAME/Music/2009");
  facts.label = "";
  EXPECT_EQ(MountedFolderOf(facts), "");
  facts.id = "root-uuid";
  facts.folder = "/home/u";
  EXPECT_EQ(MountedFolderOf(facts), "/home/u");
  SetVolumes(nullptr);
}

}  // namespace
}  // namespace lumivor
