// The JSON catalogs of catcli and gocatcli.
//
// catcli: {"type": "top", "children": [storage..., meta]}, a storage {"type": "storage", "name",
// "free", "total", "ts", "attr" (its description), "children": [node...]}, a node {"type": "dir",
// "file" or "arc", "name", "size", "maccess", "md5", "relpath", "children"}. catcli writes the
// members sorted by name, so a folder's "children" come before its "name": a folder is made when
// its children begin and gets its name and facts when its object ends.
//
// gocatcli: {"storages": [storage...]}, a storage with "tags" (a list) and "meta" besides, a node
// with its kind under "type" or "filetype" ("dir", "file", "archive", "archived").
//
// Each storage becomes a catalog of its own.
#include <memory>
#include <string>
#include <vector>

#include "import/json_reader.h"
#include "import/listing_reader.h"

namespace lumivor {

namespace {

using Token = JsonReader::Token;

// What one object of the catalog said, as far as it was read.
struct Facts {
  std::string name, type, md5, description, tags;
  bool has_name = false;
  bool has_size = false;
  std::uint64_t size = 0;
  bool has_time = false;
  std::int64_t mtime = 0;
  bool has_free = false, has_total = false, has_ts = false;
  std::uint64_t free = 0, total = 0;
  std::int64_t ts = 0;
};

enum class Level { kTop, kStorage, kNode };

struct Frame {
  Level level = Level::kTop;
  Facts facts;
  ImportTree* tree = nullptr;         // the storage's catalog (storage and node levels)
  CatalogTree::Node* node = nullptr;  // a node's record once made (its children began)
  CatalogTree::Node* parent = nullptr;
  std::unique_ptr<ImportTree> own_tree;  // a storage's catalog, until the storage ends
  bool in_children = false;              // the "children" array of this object is being read
};

class CatcliReader {
 public:
  CatcliReader(ByteSource& source, const ImportControl& control)
      : json_(source), ticker_(control) {}

  std::vector<ListedMedium> Read() {
    if (json_.Next() != Token::kBeginObject) json_.Fail("not a catcli catalog: expected '{'");
    Frame top;
    top.level = Level::kTop;
    stack_.push_back(std::move(top));
    while (!stack_.empty()) {
      Frame& frame = stack_.back();
      const Token token = json_.Next();
      if (frame.in_children) {
        if (token == Token::kEndArray) {
          frame.in_children = false;
        } else if (token == Token::kBeginObject) {
          OpenChild();
        } else {
          json_.Fail("expected an object in \"children\"");
        }
        continue;
      }
      if (token == Token::kEndObject) {
        Close();
        continue;
      }
      // token is a member name
      const std::string key = json_.Text();
      ReadMember(key);
    }
    if (json_.Next() != Token::kEnd) json_.Fail("unexpected data after the end");
    return std::move(media_);
  }

 private:
  void ReadMember(const std::string& key) {
    Frame& frame = stack_.back();
    Facts& facts = frame.facts;
    const Token token = json_.Next();
    if (key == "children" || key == "storages") {
      if (token == Token::kNull) return;
      if (token != Token::kBeginArray) json_.Fail("\"" + key + "\" is not a list");
      if (frame.level == Level::kNode && !frame.node) {
        // The record is made now, so that the children have their place; its name and facts
        // follow when the object ends.
        ImportEntry entry;
        entry.name = facts.has_name ? std::string_view(facts.name) : std::string_view("?");
        entry.directory = true;
        frame.node = frame.tree->AddChild(frame.parent, entry);
        if (!frame.node) json_.Fail("a folder named \"" + facts.name + "\" cannot be one");
      }
      frame.in_children = true;
      return;
    }
    if (token == Token::kString) {
      const std::string& text = json_.Text();
      if (key == "name") {
        facts.name = text;
        facts.has_name = true;
      } else if (key == "type" || key == "filetype") {
        facts.type = text;
      } else if (key == "md5") {
        facts.md5 = text;
      } else if (key == "attr" || key == "meta") {
        if (!text.empty()) facts.description = text;
      }
      return;
    }
    if (token == Token::kNumber) {
      const std::string& text = json_.Text();
      if (key == "size") {
        facts.has_size = WholeNumberOf(text, &facts.size);
      } else if (key == "maccess") {
        facts.has_time = SecondsOf(text, &facts.mtime);
      } else if (key == "free") {
        facts.has_free = WholeNumberOf(text, &facts.free);
      } else if (key == "total") {
        facts.has_total = WholeNumberOf(text, &facts.total);
      } else if (key == "ts") {
        facts.has_ts = SecondsOf(text, &facts.ts);
      }
      return;
    }
    if (key == "tags" && token == Token::kBeginArray) {
      for (Token tag = json_.Next(); tag != Token::kEndArray; tag = json_.Next()) {
        if (tag != Token::kString) {
          json_.SkipValue(tag);
          continue;
        }
        if (!facts.tags.empty()) facts.tags += ',';
        facts.tags += json_.Text();
      }
      return;
    }
    json_.SkipValue(token);
  }

  void OpenChild() {
    Frame& parent = stack_.back();
    Frame child;
    if (parent.level == Level::kTop) {
      child.level = Level::kStorage;
      child.own_tree = std::make_unique<ImportTree>("");
      child.tree = child.own_tree.get();
      child.parent = child.tree->Top();
    } else {
      child.level = Level::kNode;
      child.tree = parent.tree;
      child.parent = parent.level == Level::kStorage ? parent.tree->Top() : parent.node;
      if (parent.level == Level::kNode && !parent.node) json_.Fail("unexpected children");
    }
    stack_.push_back(std::move(child));
  }

  void Close() {
    Frame frame = std::move(stack_.back());
    stack_.pop_back();
    Facts& facts = frame.facts;
    if (frame.level == Level::kStorage) {
      // catcli's "meta" object, and anything else that is no storage, holds no entries.
      if (!facts.type.empty() && facts.type != "storage") return;
      ImportTree& tree = *frame.own_tree;
      tree.SetTopName(facts.has_name && !facts.name.empty() ? facts.name : "storage");
      tree.SetTopDescription(facts.description);
      if (facts.has_total) tree.SetTopExtra("VolumeSize", std::to_string(facts.total));
      if (facts.has_free) tree.SetTopExtra("VolumeFree", std::to_string(facts.free));
      if (facts.has_ts) tree.SetTopExtra("ScanDate", LocalDateText(facts.ts));
      if (!facts.tags.empty()) tree.SetTopExtra(kTagsAttribute, facts.tags);
      tree.SetTopExtra(kImportedFromAttribute, "catcli");
      media_.push_back({tree.TopName(), std::move(frame.own_tree)});
      return;
    }
    if (frame.level != Level::kNode) return;
    ImportEntry entry;
    entry.name = facts.name;
    entry.directory = facts.type == "dir" || (facts.type.empty() && frame.node);
    entry.has_size = facts.has_size;
    entry.size = facts.size;
    entry.has_time = facts.has_time;
    entry.mtime = facts.mtime;
    std::string hash;
    if (const std::string hex = DigestHex(facts.md5, 32); !hex.empty()) {
      hash = "md5:" + hex;
      entry.extras.push_back({kHashAttribute, hash});
    }
    if (!facts.has_name) json_.Fail("an entry without a name");
    if (frame.node) {
      frame.tree->Fill(frame.node, entry);
    } else {
      frame.tree->AddChild(frame.parent, entry);
    }
    ticker_.Tick();
  }

  JsonReader json_;
  ImportTicker ticker_;
  std::vector<Frame> stack_;
  std::vector<ListedMedium> media_;
};

}  // namespace

std::vector<ListedMedium> ReadCatcli(ByteSource& source, const ImportControl& control) {
  return CatcliReader(source, control).Read();
}

}  // namespace lumivor
