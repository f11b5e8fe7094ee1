#include "bench_util.h"

#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <new>

#include "catalog/catalog_record.h"
#include "catalog/fields.h"

namespace {

std::atomic<std::size_t> g_live{0};
std::atomic<std::size_t> g_peak{0};

// Each block carries its size in front so delete can count it off.
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* CountedAllocate(std::size_t size) {
  void* raw = std::malloc(size + kHeader);
  if (!raw) throw std::bad_alloc();
  *static_cast<std::size_t*>(raw) = size;
  const std::size_t live = g_live.fetch_add(size, std::memory_order_relaxed) + size;
  std::size_t peak = g_peak.load(std::memory_order_relaxed);
  while (live > peak && !g_peak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
  }
  return static_cast<char*>(raw) + kHeader;
}

void CountedFree(void* block) {
  if (!block) return;
  void* raw = static_cast<char*>(block) - kHeader;
  g_live.fetch_sub(*static_cast<std::size_t*>(raw), std::memory_order_relaxed);
  std::free(raw);
}

}  // namespace

void* operator new(std::size_t size) { return CountedAllocate(size); }
void* operator new[](std::size_t size) { return CountedAllocate(size); }
void operator delete(void* block) noexcept { CountedFree(block); }
void operator delete[](void* block) noexcept { CountedFree(block); }
void operator delete(void* block, std::size_t) noexcept { CountedFree(block); }
void operator delete[](void* block, std::size_t) noexcept { CountedFree(block); }

extern char** environ;

namespace lumivor::bench {

std::size_t TrackedBytes() { return g_live.load(); }
std::size_t PeakTrackedBytes() { return g_peak.load(); }
void ResetPeakTrackedBytes() { g_peak.store(g_live.load()); }

std::size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd + LargeBlockBytes();
}

std::size_t PeakResidentBytes() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<std::size_t>(usage.ru_maxrss) * 1024;
}

std::size_t ResidentBytes() {
  std::ifstream in("/proc/self/statm");
  std::size_t pages_total = 0, pages_resident = 0;
  in >> pages_total >> pages_resident;
  return pages_resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

void Report(std::string_view key, double value) {
  std::printf("%.*s=%.4f\n", static_cast<int>(key.size()), key.data(), value);
  std::fflush(stdout);
}

void Report(std::string_view key, std::string_view value) {
  std::printf("%.*s=%.*s\n", static_cast<int>(key.size()), key.data(),
              static_cast<int>(value.size()), value.data());
  std::fflush(stdout);
}

std::size_t IntOption(int argc, char** argv, std::string_view name, std::size_t fallback) {
  const std::string prefix = "--" + std::string(name) + "=";
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg.substr(0, prefix.size()) == prefix) {
      return static_cast<std::size_t>(std::strtoull(argv[i] + prefix.size(), nullptr, 10));
    }
  }
  return fallback;
}

std::string TextOption(int argc, char** argv, std::string_view name, std::string fallback) {
  const std::string prefix = "--" + std::string(name) + "=";
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg.substr(0, prefix.size()) == prefix) return std::string(arg.substr(prefix.size()));
  }
  return fallback;
}

namespace {

const char* const kWords[] = {"holiday", "summer",  "report", "draft",   "final",  "concert",
                              "family",  "invoice", "backup", "project", "scan",   "picture",
                              "album",   "track",   "notes",  "budget",  "travel", "archive"};
const char* const kExtensions[] = {"jpg", "mp3", "pdf", "txt", "docx", "png", "flac", "mkv", "xml"};

const char* const kNonAsciiWords[] = {"café", "müller", "smörgås", "señal", "наш", "東京"};

std::string RandomName(Random& random, std::size_t length, bool non_ascii) {
  std::string name;
  // A word beyond ASCII leads the name, so that cutting it to length keeps the word whole.
  if (non_ascii && random.Below(20) == 0) {
    name += kNonAsciiWords[random.Below(std::size(kNonAsciiWords))];
    name += std::to_string(random.Below(100));
  }
  while (name.size() < length) {
    if (!name.empty()) name += random.Below(2) ? '_' : ' ';
    name += kWords[random.Below(std::size(kWords))];
    if (random.Below(3) == 0) name += std::to_string(random.Below(1000));
  }
  name.resize(length);
  return name;
}

}  // namespace

const std::vector<std::string>& SyntheticWords() {
  static const std::vector<std::string> words(std::begin(kWords), std::end(kWords));
  return words;
}

const std::vector<std::string>& SyntheticNonAsciiWords() {
  static const std::vector<std::string> words(std::begin(kNonAsciiWords), std::end(kNonAsciiWords));
  return words;
}

const std::vector<std::string>& SyntheticExtensions() {
  static const std::vector<std::string> extensions(std::begin(kExtensions), std::end(kExtensions));
  return extensions;
}

CatalogTree SyntheticCatalog(std::size_t records, std::string_view catalog_name, std::uint64_t seed,
                             bool non_ascii) {
  CatalogTree tree;
  Random random(seed);
  const std::string root_path = "/media/user/Backup Disk 2024/Photos and Music Collection";
  FieldViews top{};
  top[kFileName] = root_path;
  top[kFullPath] = root_path;
  top[kFileType] = kDirectoryType;
  top[kSizePercentage] = "100";
  top[kCatalogName] = catalog_name;
  CatalogTree::Node* top_node = tree.AddChild(nullptr, top);

  // Breadth-first: each folder gets 10 to 40 entries, a fifth of them folders.
  std::vector<std::pair<CatalogTree::Node*, std::string>> folders{{top_node, root_path}};
  std::size_t next_folder = 0;
  while (tree.Size() < records && next_folder < folders.size()) {
    auto [parent, parent_path] = folders[next_folder++];
    const std::size_t entries = 10 + random.Below(31);
    for (std::size_t i = 0; i < entries && tree.Size() < records; ++i) {
      const bool folder = random.Below(5) == 0 || (next_folder == folders.size() && i == 0);
      // Paths of about 90 characters: names are cut so deep paths stay realistic.
      const std::size_t name_length = 22 + random.Below(17);
      std::string name = RandomName(random, name_length, non_ascii);
      std::string ext;
      if (!folder) {
        ext = kExtensions[random.Below(std::size(kExtensions))];
        name += "." + ext;
      }
      std::string path =
          parent_path.substr(0, std::min<std::size_t>(parent_path.size(), 60)) + "/" + name;
      const std::string size = folder ? "0" : std::to_string(random.Below(50'000'000));
      const std::string time = FormatFileTime(static_cast<std::time_t>(
          1'400'000'000 + (random.Below(300'000'000) & ~std::uint64_t(1))));
      const std::string name_length_text = std::to_string(CodePointCount(name));
      const std::string path_length_text = std::to_string(CodePointCount(path));
      const std::string percentage = FormatPercentage(double(random.Below(100)) / 100.0);
      FieldViews fields{};
      fields[kFileName] = name;
      fields[kFullPath] = path;
      fields[kFileSize] = size;
      fields[kFileTime] = time;
      fields[kFileExt] = ext;
      fields[kFileType] = folder ? kDirectoryType : kFileTypeText;
      fields[kFileNameLength] = name_length_text;
      fields[kPathNameLength] = path_length_text;
      fields[kSizePercentage] = percentage;
      fields[kCatalogName] = catalog_name;
      CatalogTree::Node* node = tree.AddChild(parent, fields);
      if (folder) folders.emplace_back(node, path);
    }
  }
  return tree;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "lumivor-bench-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    std::exit(2);
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ChildRun RunChild(std::vector<std::string> args, bool quiet_errors) {
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (quiet_errors) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  ChildRun run;
  const Stopwatch watch;
  pid_t pid;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    run.seconds = watch.Seconds();
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    run.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.peak_mb = static_cast<double>(usage.ru_maxrss) / 1024.0;
    run.minor_faults = static_cast<double>(usage.ru_minflt);
  }
  posix_spawn_file_actions_destroy(&actions);
  return run;
}

ChildRun RunChildOrExit(std::vector<std::string> args, bool quiet_errors) {
  const ChildRun run = RunChild(args, quiet_errors);
  if (!run.ok) {
    std::fprintf(stderr, "%s %s failed\n", args[0].c_str(), args.size() > 1 ? args[1].c_str() : "");
    std::exit(2);
  }
  return run;
}

}  // namespace lumivor::bench
