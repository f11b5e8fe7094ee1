// The JSON export of ncdu 1.x: [majorver, minorver, {metadata}, directory], where a directory is
// an array whose first element is the folder's own info object, followed by its entries: an array
// for each subfolder, an info object for everything else. The listing is nested the way the
// catalog is, so each entry is added below its folder as soon as it is read.
#include <sys/stat.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
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

// The members of an info object the catalog keeps.
enum class Key { kName, kAsize, kDev, kIno, kHlnkc, kReadError, kExcluded, kMode, kMtime, kOther };

Key KeyOf(std::string_view key) {
  switch (key.size()) {
    case 3:
      return key == "dev" ? Key::kDev : key == "ino" ? Key::kIno : Key::kOther;
    case 4:
      return key == "name" ? Key::kName : key == "mode" ? Key::kMode : Key::kOther;
    case 5:
      return key == "asize"   ? Key::kAsize
             : key == "mtime" ? Key::kMtime
             : key == "hlnkc" ? Key::kHlnkc
                              : Key::kOther;
    case 8:
      return key == "excluded" ? Key::kExcluded : Key::kOther;
    case 10:
      return key == "read_error" ? Key::kReadError : Key::kOther;
    default:
      return Key::kOther;
  }
}

constexpr std::string_view kKeyNames[] = {"name",       "asize",    "dev",  "ino",   "hlnkc",
                                          "read_error", "excluded", "mode", "mtime", "?"};

// The value of a number written as at most 18 digits (what sizes, inodes and times are), which
// WholeNumberOf and SecondsOf would give too; false for any other number, left to them.
bool ShortWholeNumber(std::string_view text, std::uint64_t* value) {
  if (text.size() > 18) return false;
  std::uint64_t number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<std::uint64_t>(c - '0');
  }
  *value = number;
  return true;
}

// Takes one member of an info object read whole (JsonReader::ReadFlatObject) as ReadInfo takes
// it token by token; false for anything ReadInfo refuses, which it then finds itself.
bool TakeMember(const JsonReader::Member& member, NcduInfo* info) {
  const Key which = KeyOf(member.key);
  const Token token = member.token;
  const auto number = [&](std::uint64_t* value, bool* has) {
    if (token == Token::kNumber) {
      *has = ShortWholeNumber(member.text, value) || WholeNumberOf(member.text, value);
      if (!*has) *value = 0;
      return true;
    }
    *value = 0;
    *has = false;
    return token == Token::kNull;
  };
  const auto boolean = [&](bool* value) {
    if (token == Token::kTrue || token == Token::kFalse || token == Token::kNull) {
      *value = token == Token::kTrue;
      return true;
    }
    return false;
  };
  switch (which) {
    case Key::kOther:
      return true;
    case Key::kName:
      if (token != Token::kString) return false;
      info->name = member.text;
      info->has_name = true;
      return true;
    case Key::kAsize:
      return number(&info->size, &info->has_size);
    case Key::kDev:
      return number(&info->dev, &info->has_dev);
    case Key::kIno:
      return number(&info->ino, &info->has_ino);
    case Key::kMode:
      return number(&info->mode, &info->has_mode);
    case Key::kHlnkc:
      return boolean(&info->hard_link);
    case Key::kReadError:
      return boolean(&info->read_error);
    case Key::kExcluded: {
      if (token == Token::kString) {
        info->excluded = member.text.empty() ? std::string_view("yes") : member.text;
        return true;
      }
      bool excluded = false;
      if (!boolean(&excluded)) return false;
      if (excluded) info->excluded = "yes";
      return true;
    }
    case Key::kMtime:
      if (token == Token::kNumber) {
        std::uint64_t seconds = 0;
        if (ShortWholeNumber(member.text, &seconds)) {
          info->mtime = static_cast<std::int64_t>(seconds);
          info->has_time = true;
        } else {
          info->has_time = SecondsOf(member.text, &info->mtime);
        }
      } else {
        info->has_time = false;
      }
      return true;
  }
  return false;
}

// Reads an info object whose "{" was read.
void ReadInfo(JsonReader& json, NcduInfo* info) {
  *info = NcduInfo();
  // An info object is one line of plain members, read at once; anything else token by token.
  if (json.ReadFlatObject(
          [info](const JsonReader::Member& member) { return TakeMember(member, info); })) {
    if (!info->has_name) json.Fail("an entry without a name");
    return;
  }
  *info = NcduInfo();
  for (;;) {
    Token token = json.Next();
    if (token == Token::kEndObject) break;
    const Key which = KeyOf(json.Text());
    const std::string_view key = kKeyNames[static_cast<int>(which)];
    token = json.Next();
    bool ok = false;
    if (which == Key::kOther) {
      json.SkipValue(token);
    } else if (which == Key::kName) {
      if (token != Token::kString) json.Fail("name is not a string");
      info->name = json.Text();
      info->has_name = true;
    } else if (which == Key::kAsize) {
      // A size that is no whole number of bytes below 2^63 is not a size: left out.
      info->size = NumberValue(json, token, key, &ok);
      info->has_size = ok;
    } else if (which == Key::kDev) {
      info->dev = NumberValue(json, token, key, &ok);
      info->has_dev = ok;
    } else if (which == Key::kIno) {
      info->ino = NumberValue(json, token, key, &ok);
      info->has_ino = ok;
    } else if (which == Key::kHlnkc) {
      info->hard_link = BoolValue(json, token, key);
    } else if (which == Key::kReadError) {
      info->read_error = BoolValue(json, token, key);
    } else if (which == Key::kExcluded) {
      if (token == Token::kString) {
        info->excluded = json.Text().empty() ? std::string("yes") : json.Text();
      } else if (BoolValue(json, token, key)) {
        info->excluded = "yes";
      }
    } else if (which == Key::kMode) {
      info->mode = NumberValue(json, token, key, &ok);
      info->has_mode = ok;
    } else if (which == Key::kMtime) {
      info->has_time = token == Token::kNumber && SecondsOf(json.Text(), &info->mtime);
      if (token != Token::kNumber) json.SkipValue(token);
    }
  }
  if (!info->has_name) json.Fail("an entry without a name");
}

// One entry of the listing as the parsing thread hands it to the thread that builds the tree:
// the facts of its info object, its texts in the batch's `texts`.
struct NcduItem {
  enum class Kind : std::uint8_t { kFolder, kEntry, kFolderEnd };
  Kind kind = Kind::kEntry;
  bool directory = false;  // kEntry: an excluded folder listed as a plain object
  bool has_size = false;
  bool has_time = false;
  bool has_dev = false;
  bool has_ino = false;
  bool hard_link = false;
  bool read_error = false;
  std::uint32_t name_length = 0;
  std::uint32_t excluded_length = 0;
  std::size_t name_offset = 0;
  std::size_t excluded_offset = 0;
  std::uint64_t size = 0;
  std::uint64_t dev = 0;
  std::uint64_t ino = 0;
  std::int64_t mtime = 0;
};

// Entries read in a row; batches go back and forth between the threads, so that their buffers
// are made once.
struct NcduBatch {
  std::vector<NcduItem> items;
  std::string texts;
  std::size_t skipped = 0;  // entries inside folders that were passed over

  static constexpr std::size_t kItems = 4096;
  static constexpr std::size_t kTextBytes = 512 * 1024;
  [[nodiscard]] bool Full() const { return items.size() >= kItems || texts.size() >= kTextBytes; }
  void Clear() {
    items.clear();
    texts.clear();
    skipped = 0;
  }
};

// Hands batches from the parsing thread to the building one, a few in flight at most, so that
// the listing still streams through a bounded amount of memory. Either side may give up: the
// parser on an error (held for the builder to raise), the builder on a cancel (the parser then
// stops at its next batch).
class NcduPipe {
 public:
  NcduPipe() {
    for (auto& batch : batches_) spare_.push_back(&batch);
  }

  // An empty batch to fill; null when the builder gave up.
  NcduBatch* Empty() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return abandoned_ || !spare_.empty(); });
    if (abandoned_) return nullptr;
    NcduBatch* batch = spare_.back();
    spare_.pop_back();
    return batch;
  }
  // Passes a filled batch to the builder.
  void Send(NcduBatch* batch) {
    {
      const std::lock_guard lock(mutex_);
      full_.push_back(batch);
    }
    changed_.notify_all();
  }
  // Ends the parser's side: `error` is what stopped it (null: the listing was read to its end).
  void Finish(std::exception_ptr error) {
    {
      const std::lock_guard lock(mutex_);
      finished_ = true;
      error_ = std::move(error);
    }
    changed_.notify_all();
  }

  // The next filled batch, in order; null once the parser finished and every batch was taken.
  NcduBatch* Next() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return finished_ || !full_.empty(); });
    if (full_.empty()) return nullptr;
    NcduBatch* batch = full_.front();
    full_.pop_front();
    return batch;
  }
  // Gives a batch that was built back for filling.
  void Return(NcduBatch* batch) {
    batch->Clear();
    {
      const std::lock_guard lock(mutex_);
      spare_.push_back(batch);
    }
    changed_.notify_all();
  }
  // Tells the parser to stop.
  void Abandon() {
    {
      const std::lock_guard lock(mutex_);
      abandoned_ = true;
    }
    changed_.notify_all();
  }
  [[nodiscard]] std::exception_ptr Error() {
    const std::lock_guard lock(mutex_);
    return error_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  NcduBatch batches_[4];
  std::vector<NcduBatch*> spare_;
  std::deque<NcduBatch*> full_;
  bool finished_ = false;
  bool abandoned_ = false;
  std::exception_ptr error_;
};

// Raised inside the parsing thread when the builder gave up; nobody else sees it.
struct ParsingAbandoned {};

// Reads the listed folder's entries (after its info object) to the closing bracket of the
// listed folder and passes them on in batches.
class NcduParser {
 public:
  NcduParser(JsonReader& json, NcduPipe& pipe) : json_(json), pipe_(pipe) {}

  void Read() {
    batch_ = Take();
    NcduInfo info;
    for (std::size_t depth = 1; depth > 0;) {
      const Token token = json_.Next();
      if (token == Token::kEndArray) {
        if (--depth > 0) Add(info, NcduItem::Kind::kFolderEnd, false);
        continue;
      }
      if (token == Token::kBeginArray) {
        ExpectToken(json_, Token::kBeginObject, "a folder's info object");
        ReadInfo(json_, &info);
        Add(info, NcduItem::Kind::kFolder, true);
        if (!ImportTree::IsEntryName(info.name)) {
          // A folder that cannot be one: its contents go with it.
          SkipRestOfFolder();
          continue;
        }
        ++depth;
      } else if (token == Token::kBeginObject) {
        ReadInfo(json_, &info);
        // Excluded folders are listed as plain objects: told by their mode where it is known,
        // and always for other file systems, which are mount points.
        const bool directory =
            !info.excluded.empty() &&
            ((info.has_mode && S_ISDIR(static_cast<mode_t>(info.mode))) ||
             info.excluded == "otherfs" || info.excluded == "kernfs" || info.excluded == "frmlnk");
        Add(info, NcduItem::Kind::kEntry, directory);
      } else {
        json_.Fail("expected an entry (an info object or a folder)");
      }
    }
    pipe_.Send(batch_);
    batch_ = nullptr;
  }

 private:
  NcduBatch* Take() {
    NcduBatch* batch = pipe_.Empty();
    if (!batch) throw ParsingAbandoned{};
    return batch;
  }

  void Add(const NcduInfo& info, NcduItem::Kind kind, bool directory) {
    NcduItem item;
    item.kind = kind;
    if (kind != NcduItem::Kind::kFolderEnd) {
      item.directory = directory;
      item.has_size = info.has_size;
      item.size = info.size;
      item.has_time = info.has_time;
      item.mtime = info.mtime;
      item.has_dev = info.has_dev;
      item.dev = info.dev;
      item.has_ino = info.has_ino;
      item.ino = info.ino;
      item.hard_link = info.hard_link;
      item.read_error = info.read_error;
      item.name_offset = batch_->texts.size();
      item.name_length = static_cast<std::uint32_t>(info.name.size());
      batch_->texts += info.name;
      item.excluded_offset = batch_->texts.size();
      item.excluded_length = static_cast<std::uint32_t>(info.excluded.size());
      batch_->texts += info.excluded;
    }
    batch_->items.push_back(item);
    if (batch_->Full()) {
      pipe_.Send(batch_);
      batch_ = Take();
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
        ++batch_->skipped;
      }
    }
  }

  JsonReader& json_;
  NcduPipe& pipe_;
  NcduBatch* batch_ = nullptr;
};

// Reads an ncdu export into the tree. The header and the listed folder's own info are read
// here; its entries are parsed on a thread of their own while this one adds them to the tree,
// the two costing about the same.
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
  ExtraViews Extras(bool hard_link, bool has_ino, std::uint64_t ino, bool read_error,
                    std::string_view excluded, std::uint64_t dev) {
    ExtraViews extras;
    if (hard_link && has_ino) {
      link_id_ = std::to_string(dev) + ":" + std::to_string(ino);
      extras.push_back({kLinkIdAttribute, link_id_});
    }
    if (read_error) extras.push_back({kReadErrorAttribute, "could not be read"});
    if (!excluded.empty()) extras.push_back({kExcludedAttribute, excluded});
    return extras;
  }

  void ReadTree() {
    NcduInfo info;
    ExpectToken(json_, Token::kBeginObject, "the listed folder's info object");
    ReadInfo(json_, &info);
    tree_.SetTopName(info.name);
    const ExtraViews top_extras =
        Extras(info.hard_link, info.has_ino, info.ino, info.read_error, info.excluded, info.dev);
    for (const ExtraAttribute& extra : top_extras) tree_.SetTopExtra(extra.name, extra.value);

    NcduPipe pipe;
    std::thread parsing([this, &pipe] {
      std::exception_ptr error;
      try {
        NcduParser(json_, pipe).Read();
      } catch (const ParsingAbandoned&) {
      } catch (...) {
        error = std::current_exception();
      }
      pipe.Finish(std::move(error));
    });
    try {
      Build(pipe, info.dev);
    } catch (...) {
      pipe.Abandon();
      parsing.join();
      throw;
    }
    parsing.join();
    if (const std::exception_ptr error = pipe.Error()) std::rethrow_exception(error);
  }

  // Adds the entries the parser passes on, each below its folder.
  void Build(NcduPipe& pipe, std::uint64_t top_dev) {
    struct Frame {
      CatalogTree::Node* node;
      std::uint64_t dev;
    };
    std::vector<Frame> stack{{tree_.Top(), top_dev}};
    while (NcduBatch* batch = pipe.Next()) {
      const std::string_view texts = batch->texts;
      for (const NcduItem& item : batch->items) {
        if (item.kind == NcduItem::Kind::kFolderEnd) {
          stack.pop_back();
          continue;
        }
        const std::uint64_t dev = item.has_dev ? item.dev : stack.back().dev;
        ImportEntry entry;
        entry.name = texts.substr(item.name_offset, item.name_length);
        entry.directory = item.kind == NcduItem::Kind::kFolder || item.directory;
        entry.has_size = item.has_size;
        entry.size = item.size;
        entry.has_time = item.has_time;
        entry.mtime = item.mtime;
        entry.extras = Extras(item.hard_link, item.has_ino, item.ino, item.read_error,
                              texts.substr(item.excluded_offset, item.excluded_length), dev);
        CatalogTree::Node* node = tree_.AddChild(stack.back().node, entry);
        ticker_.Tick();
        // A folder whose name cannot be one was passed over with its contents by the parser.
        if (item.kind == NcduItem::Kind::kFolder && node) stack.push_back({node, dev});
      }
      for (std::size_t i = 0; i < batch->skipped; ++i) tree_.Skip();
      pipe.Return(batch);
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
