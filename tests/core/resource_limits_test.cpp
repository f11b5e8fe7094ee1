// Inputs beyond what the program can hold: a field longer than its four-byte length, and a file
// larger than the memory the process may use.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>

#include "catalog/catalog_file.h"
#include "catalog/catalog_record.h"
#include "catalog/xml_document.h"
#include "core/errors.h"
#include "support/child_process.h"
#include "test_util.h"

namespace lumivor {
namespace {

using testing::RunInChild;
using testing::TempDir;

// `size` readable bytes that take no memory until touched (and are never touched here).
class ReservedBytes {
 public:
  explicit ReservedBytes(std::size_t size) : size_(size) {
    void* at = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    data_ = at == MAP_FAILED ? nullptr : static_cast<const char*>(at);
  }
  ~ReservedBytes() {
    if (data_) ::munmap(const_cast<char*>(data_), size_);
  }
  [[nodiscard]] std::string_view View() const { return {data_, size_}; }
  [[nodiscard]] bool Valid() const { return data_ != nullptr; }

 private:
  const char* data_;
  std::size_t size_;
};

TEST(ResourceLimits, AFieldLongerThanFourGiBIsRefusedNotCut) {
  ReservedBytes huge(std::size_t{1} << 32);
  if (!huge.Valid()) GTEST_SKIP() << "no room for a 4 GiB mapping";
  CatalogRecord record;
  record.SetField(kFileName, "kept");
  try {
    record.SetField(kDescription, huge.View());
    ADD_FAILURE() << "accepted";
  } catch (const LumivorError& e) {
    EXPECT_EQ(std::string(e.what()),
              "A field of 4294967296 bytes is longer than the 4 GiB a catalog field can hold");
  }
  FieldViews fields{};
  fields[kFullPath] = huge.View();
  EXPECT_THROW(record.SetFields(fields), LumivorError);
  EXPECT_EQ(record.Field(kFileName), "kept");
  EXPECT_EQ(record.Field(kDescription), "");
  EXPECT_EQ(huge.View().substr(0, kMaxFieldBytes).size(), kMaxFieldBytes);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

TEST(ResourceLimits, AReadBeyondTheMemoryLimitNamesTheFileAndTheCause) {
  if (kAddressSanitizer) GTEST_SKIP() << "the address sanitizer reserves more than any limit";
  TempDir dir;
  const std::string path = dir / "huge.xml";
  // A sparse file: 1 GiB on paper, nothing on disk.
  {
    testing::WriteFile(path, "<fileinfo>");
    ASSERT_EQ(::truncate(path.c_str(), std::int64_t{1} << 30), 0);
  }
  const std::string message = RunInChild([&] {
    rlimit limit{std::size_t{768} << 20, std::size_t{768} << 20};
    ::setrlimit(RLIMIT_AS, &limit);
    std::string messages;
    const auto attempt = [&](const auto& read) {
      try {
        read();
        messages += "no error\n";
      } catch (const LumivorError& e) {
        messages += std::string(e.what()) + "\n";
      } catch (const std::exception& e) {
        messages += std::string("other: ") + e.what() + "\n";
      }
    };
    attempt([&] { (void)LoadCatalog(path); });
    attempt([&] { (void)ReadWholeFile(path); });
    return messages;
  });
  EXPECT_EQ(message, path + ": not enough memory to hold the catalog\n" + path +
                         ": not enough memory to read the file (1073741824 bytes)\n");
}

}  // namespace
}  // namespace lumivor
