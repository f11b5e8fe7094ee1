// hashdeep manifests and the plain lines of md5deep and its kin.
//
// A manifest begins with "%%%% HASHDEEP-1.0" and a line "%%%% size,md5,...,filename" that names
// its columns; "##" lines are comments; every other line is one file, its fields separated by
// commas (the file name last, so that it may hold commas itself). md5deep, sha1deep, sha256deep
// and sha256sum write "HASH  PATH" (or "HASH *PATH"; md5deep -z puts the size first). Folders are
// not listed: they come from the paths.
#include <algorithm>
#include <charconv>
#include <string>
#include <vector>

#include "import/listing_reader.h"

namespace lumivor {

namespace {

struct Algorithm {
  std::string_view name;
  std::size_t hex_length;
  int preference;  // the Hash attribute holds the digest of the lowest
};

constexpr Algorithm kAlgorithms[] = {
    {"sha256", 64, 0}, {"sha512", 128, 1}, {"sha384", 96, 2},     {"sha1", 40, 3},
    {"md5", 32, 4},    {"tiger", 48, 5},   {"whirlpool", 128, 6},
};

const Algorithm* AlgorithmNamed(std::string_view name) {
  for (const Algorithm& algorithm : kAlgorithms) {
    if (algorithm.name == name) return &algorithm;
  }
  return nullptr;
}

// The algorithm of a bare digest, by its length (128 hex digits: sha512sum's, more common than
// whirlpooldeep's).
const Algorithm* AlgorithmOfLength(std::size_t length) {
  for (const Algorithm& algorithm : kAlgorithms) {
    if (algorithm.hex_length == length) return &algorithm;
  }
  return nullptr;
}

enum class Column { kSize, kDigest, kFileName, kOther };

class HashdeepReader {
 public:
  HashdeepReader(ByteSource& source, ImportTree& tree, const ImportControl& control)
      : source_(source), tree_(tree), ticker_(control) {}

  void Read() {
    std::string line;
    bool terminated = false;
    bool first = true;
    bool manifest = false;
    for (;;) {
      const std::uint64_t number = source_.Line();
      if (!source_.ReadLine(&line, &terminated)) break;
      if (!terminated) source_.FailAtLine("truncated: the last line has no line end", number);
      if (first && line.substr(0, 3) == "\xEF\xBB\xBF") line.erase(0, 3);
      if (line.substr(0, 5) == "%%%% ") {
        manifest = true;
        ReadHeader(std::string_view(line).substr(5), number);
      } else if (line.empty() || line[0] == '#') {
        // comments ("##" in a manifest) and blank lines
      } else if (manifest) {
        if (!have_columns_) source_.FailAtLine("a file listed before the column header", number);
        ReadManifestLine(line, number);
      } else {
        ReadPlainLine(line, number);
      }
      first = false;
    }
    tree_.DescendToListedRoot();
    if (tree_.TopName().empty()) tree_.SetTopName(".");
  }

 private:
  void ReadHeader(std::string_view header, std::uint64_t number) {
    if (header.substr(0, 9) == "HASHDEEP-") return;
    columns_.clear();
    algorithms_.clear();
    std::size_t start = 0;
    while (start <= header.size()) {
      std::size_t end = header.find(',', start);
      if (end == std::string_view::npos) end = header.size();
      const std::string_view name = header.substr(start, end - start);
      start = end + 1;
      const Algorithm* algorithm = AlgorithmNamed(name);
      columns_.push_back(name == "size"       ? Column::kSize
                         : name == "filename" ? Column::kFileName
                         : algorithm          ? Column::kDigest
                                              : Column::kOther);
      algorithms_.push_back(algorithm);
    }
    if (columns_.back() != Column::kFileName) {
      source_.FailAtLine("the column header does not end with filename", number);
    }
    have_columns_ = true;
  }

  void ReadManifestLine(std::string_view line, std::uint64_t number) {
    digests_.clear();
    ImportEntry entry;
    std::size_t start = 0;
    for (std::size_t column = 0; column + 1 < columns_.size(); ++column) {
      const std::size_t comma = line.find(',', start);
      if (comma == std::string_view::npos) {
        source_.FailAtLine("expected " + std::to_string(columns_.size()) + " fields", number);
      }
      const std::string_view field = line.substr(start, comma - start);
      start = comma + 1;
      if (columns_[column] == Column::kSize) {
        ReadSize(field, &entry, number);
      } else if (columns_[column] == Column::kDigest) {
        AddDigest(*algorithms_[column], field, number);
      }
    }
    Place(line.substr(start), entry, number);
  }

  void ReadPlainLine(std::string_view line, std::uint64_t number) {
    digests_.clear();
    ImportEntry entry;
    std::size_t i = 0;
    while (i < line.size() && line[i] == ' ') ++i;
    const std::size_t hex_start = i;
    while (i < line.size() && line[i] != ' ') ++i;
    std::string_view first = line.substr(hex_start, i - hex_start);
    // md5deep -z: "SIZE  HASH  PATH"
    const bool sized = !first.empty() && first.size() < 32 &&
                       first.find_first_not_of("0123456789") == std::string_view::npos;
    if (sized) {
      ReadSize(first, &entry, number);
      while (i < line.size() && line[i] == ' ') ++i;
      const std::size_t start = i;
      while (i < line.size() && line[i] != ' ') ++i;
      first = line.substr(start, i - start);
    }
    const Algorithm* algorithm = AlgorithmOfLength(first.size());
    if (!algorithm || i + 2 > line.size() || line[i] != ' ' ||
        (line[i + 1] != ' ' && line[i + 1] != '*')) {
      source_.FailAtLine("expected a digest, two blanks and a path", number);
    }
    AddDigest(*algorithm, first, number);
    Place(line.substr(i + 2), entry, number);
  }

  void ReadSize(std::string_view field, ImportEntry* entry, std::uint64_t number) {
    std::uint64_t size = 0;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), size);
    if (error == std::errc::result_out_of_range) return;  // no size rather than a wrong one
    if (field.empty() || error != std::errc() || end != field.data() + field.size()) {
      source_.FailAtLine("malformed size \"" + std::string(field) + "\"", number);
    }
    entry->has_size = true;
    entry->size = size;
  }

  void AddDigest(const Algorithm& algorithm, std::string_view field, std::uint64_t number) {
    const std::string hex = DigestHex(field, algorithm.hex_length);
    if (hex.empty()) {
      source_.FailAtLine("malformed " + std::string(algorithm.name) + " digest", number);
    }
    digests_.push_back({&algorithm, std::string(algorithm.name) + ":" + hex});
  }

  void Place(std::string_view path, ImportEntry& entry, std::uint64_t number) {
    if (path.empty()) source_.FailAtLine("a line without a file name", number);
    if (!rooted_) {
      rooted_ = true;
      tree_.SetTopName(path[0] == '/' ? "/" : "");
    }
    // The preferred digest is the Hash; the others keep their algorithm in the name.
    std::sort(digests_.begin(), digests_.end(), [](const Digest& a, const Digest& b) {
      return a.algorithm->preference < b.algorithm->preference;
    });
    names_.clear();
    for (std::size_t i = 0; i < digests_.size(); ++i) {
      names_.push_back(i == 0 ? std::string(kHashAttribute)
                              : std::string(kHashAttribute) + "-" +
                                    std::string(digests_[i].algorithm->name));
    }
    for (std::size_t i = 0; i < digests_.size(); ++i) {
      entry.extras.push_back({names_[i], digests_[i].text});
    }
    tree_.Place(path, entry);
    ticker_.Tick();
  }

  struct Digest {
    const Algorithm* algorithm;
    std::string text;
  };

  ByteSource& source_;
  ImportTree& tree_;
  ImportTicker ticker_;
  std::vector<Column> columns_;
  std::vector<const Algorithm*> algorithms_;
  bool have_columns_ = false;
  bool rooted_ = false;
  std::vector<Digest> digests_;
  std::vector<std::string> names_;
};

}  // namespace

void ReadHashdeep(ByteSource& source, ImportTree& tree, const ImportControl& control) {
  HashdeepReader(source, tree, control).Read();
}

}  // namespace lumivor
