// The JSON export of ncdu 1.x: [majorver, minorver, {metadata}, directory], where a directory is
// an array whose first element is the folder's own info object, followed by its entries: an array
// for each subfolder, an info object for everything else. The listing is nested the way the
// catalog is, so each entry is added below its folder as soon as it is read.
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "import/json_reader.h"
#include "import/listing_reader.h"

namespace lumivor {

namespace {

using Token = JsonReader::Token;

// The fields of one info object that the catalog keeps.
struct NcduInfo {
  std::string name;
  bool has_name = false;
  bool has_size = true;  // ncdu leaves out a size of 0
  std::uint64_t size = 0;
  bool has_dev = false;
  std::uint64_t dev = 0;
  bool has_ino = false;
  std::uint64_t ino = 0;
  bool hard_link = false;
  bool read_error = false;
  std::string excluded;
  bool has_mode = false;
  std::uint64_t mode = 0;
  bool has_time = false;
  std::int64_t mtime = 0;
};

void ExpectToken(JsonReader& json, Token token, std::string_view what) {
  if (json.Next() != token) json.Fail(std::string("not an ncdu export: expected ") += what);
}

std::uint64_t NumberValue(JsonReader& json, Token token, std::string_view key, bool* ok) {
  std::uint64_t value = 0;
  *ok = token == Token::kNumber && WholeNumberOf(json.Text(), &value);
  if (token != Token::kNumber) {
    json.SkipValue(token);
    if (token != Token::kNull) json.Fail(std::string(key) + " is not a number");
  }
  return value;
}

bool BoolValue(JsonReader& json, Token token, std::string_view key) {
  if (token == Token::kTrue) return true;
  if (token == Token::kFalse || token == Token::kNull) return false;
  json.Fail(std::string(key) + " is not true or false");
}

// Reads an info object whose "{" was read.
void ReadInfo(JsonReader& json, NcduInfo* info) {
  *info = NcduInfo();
  for (;;) {
    Token token = json.Next();
    if (token == Token::kEndObject) break;
    const std::string key = json.Text();
    token = json.Next();
    bool ok = false;
    if (key == "name") {
      if (token != Token::kString) json.Fail("name is not a string");
      info->name = json.Text();
      info->has_name = true;
    } else if (key == "asize") {
      // A size that is no whole number of bytes below 2^63 is not a size: left out.
      info->size = NumberValue(json, token, key, &ok);
      info->has_size = ok;
    } else if (key == "dev") {
      info->dev = NumberValue(json, token, key, &ok);
      info->has_dev = ok;
    } else if (key == "ino") {
      info->ino = NumberValue(json, token, key, &ok);
      info->has_ino = ok;
    } else if (key == "hlnkc") {
      info->hard_link = BoolValue(json, token, key);
    } else if (key == "read_error") {
      info->read_error = BoolValue(json, token, key);
    } else if (key == "excluded") {
      if (token == Token::kString) {
        info->excluded = json.Text().empty() ? std::string("yes") : json.Text();
      } else if (BoolValue(json, token, key)) {
        info->excluded = "yes";
      }
    } else if (key == "mode") {
      info->mode = NumberValue(json, token, key, &ok);
      info->has_mode = ok;
    } else if (key == "mtime") {
      info->has_time = token == Token::kNumber && SecondsOf(json.Text(), &info->mtime);
      if (token != Token::kNumber) json.SkipValue(token);
    } else {
      json.SkipValue(token);
    }
  }
  if (!info->has_name) json.Fail("an entry without a name");
}

class NcduReader {
 public:
  NcduReader(ByteSource& source, ImportTree& tree, const ImportControl& control)
      : json_(source), tree_(tree), ticker_(control) {}

  void Read() {
    ExpectToken(json_, Token::kBeginArray, "'['");
    std::uint64_t major = 0;
    if (json_.Next() != Token::kNumber || !WholeNumberOf(json_.Text(), &major)) {
      json_.Fail("not an ncdu export: expected the format's major version");
    }
    if (major != 1) json_.Fail("ncdu export version " + json_.Text() + " is not supported");
    ExpectToken(json_, Token::kNumber, "the format's minor version");
    ExpectToken(json_, Token::kBeginObject, "the metadata object");
    ReadMetadata();
    ExpectToken(json_, Token::kBeginArray, "the listed folder");
    ReadTree();
    // Anything after the listed folder is from a later version of the format: passed over.
    for (Token token = json_.Next(); token != Token::kEndArray; token = json_.Next()) {
      json_.SkipValue(token);
    }
    if (json_.Next() != Token::kEnd) json_.Fail("unexpected data after the end");
  }

 private:
  void ReadMetadata() {
    for (Token token = json_.Next(); token != Token::kEndObject; token = json_.Next()) {
      const std::string key = json_.Text();
      token = json_.Next();
      std::int64_t seconds = 0;
      if (key == "timestamp" && token == Token::kNumber && SecondsOf(json_.Text(), &seconds)) {
        tree_.SetTopExtra("ScanDate", LocalDateText(seconds));
      } else {
        json_.SkipValue(token);
      }
    }
  }

  // The further attributes of an entry: hard links, errors, exclusions.
  ExtraViews Extras(const NcduInfo& info, std::uint64_t dev) {
    ExtraViews extras;
    if (info.hard_link && info.has_ino) {
      link_id_ = std::to_string(dev) + ":" + std::to_string(info.ino);
      extras.push_back({kLinkIdAttribute, link_id_});
    }
    if (info.read_error) extras.push_back({kReadErrorAttribute, "could not be read"});
    if (!info.excluded.empty()) extras.push_back({kExcludedAttribute, info.excluded});
    return extras;
  }

  ImportEntry Entry(const NcduInfo& info, bool directory, const ExtraViews& extras) {
    ImportEntry entry;
    entry.name = info.name;
    entry.directory = directory;
    entry.has_size = info.has_size;
    entry.size = info.size;
    entry.has_time = info.has_time;
    entry.mtime = info.mtime;
    entry.extras = extras;
    return entry;
  }

  void ReadTree() {
    struct Frame {
      CatalogTree::Node* node;
      std::uint64_t dev;
    };
    NcduInfo info;
    ExpectToken(json_, Token::kBeginObject, "the listed folder's info object");
    ReadInfo(json_, &info);
    tree_.SetTopName(info.name);
    const ExtraViews top_extras = Extras(info, info.dev);
    for (const ExtraAttribute& extra : top_extras) tree_.SetTopExtra(extra.name, extra.value);
    std::vector<Frame> stack{{tree_.Top(), info.dev}};
    while (!stack.empty()) {
      const Token token = json_.Next();
      if (token == Token::kEndArray) {
        stack.pop_back();
        continue;
      }
      const std::uint64_t parent_dev = stack.back().dev;
      if (token == Token::kBeginArray) {
        ExpectToken(json_, Token::kBeginObject, "a folder's info object");
        ReadInfo(json_, &info);
        const std::uint64_t dev = info.has_dev ? info.dev : parent_dev;
        CatalogTree::Node* node =
            tree_.AddChild(stack.back().node, Entry(info, true, Extras(info, dev)));
        ticker_.Tick();
        if (!node) {
          // A folder that cannot be one: its contents go with it.
          SkipRestOfFolder();
          continue;
        }
        stack.push_back({node, dev});
      } else if (token == Token::kBeginObject) {
        ReadInfo(json_, &info);
        const std::uint64_t dev = info.has_dev ? info.dev : parent_dev;
        // Excluded folders are listed as plain objects: told by their mode where it is known,
        // and always for other file systems, which are mount points.
        const bool directory =
            !info.excluded.empty() &&
            ((info.has_mode && S_ISDIR(static_cast<mode_t>(info.mode))) ||
             info.excluded == "otherfs" || info.excluded == "kernfs" || info.excluded == "frmlnk");
        tree_.AddChild(stack.back().node, Entry(info, directory, Extras(info, dev)));
        ticker_.Tick();
      } else {
        json_.Fail("expected an entry (an info object or a folder)");
      }
    }
  }

  void SkipRestOfFolder() {
    for (int depth = 1; depth > 0;) {
      const Token token = json_.Next();
      if (token == Token::kBeginArray) {
        ++depth;
      } else if (token == Token::kEndArray) {
        --depth;
      } else if (token == Token::kBeginObject) {
        json_.SkipValue(token);
        tree_.Skip();
      }
    }
  }

  JsonReader json_;
  ImportTree& tree_;
  ImportTicker ticker_;
  std::string link_id_;
};

}  // namespace

void ReadNcdu(ByteSource& source, ImportTree& tree, const ImportControl& control) {
  NcduReader(source, tree, control).Read();
}

}  // namespace lumivor
