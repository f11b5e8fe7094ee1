#include "catalog/catalog_writer.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "catalog/catalog_file.h"
#include "catalog/xml_document.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumivor {

namespace {

constexpr std::string_view kDeclaration =
    "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>";
constexpr std::size_t kPieceBytes = 1 << 16;

// True when `text` goes into an attribute value exactly as it stands: printable ASCII without
// '&', '<' or '"' (nothing for SanitizeText to mend, nothing to escape). Nearly every value is.
bool IsPlainAttributeText(std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
#if defined(__SSE2__)
  // Compared as signed bytes, "below 0x20" also takes every byte from 0x80 up.
  const __m128i space = _mm_set1_epi8(0x20), amp = _mm_set1_epi8('&');
  const __m128i lt = _mm_set1_epi8('<'), quote = _mm_set1_epi8('"');
  for (; end - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(v, space), _mm_cmpeq_epi8(v, amp)),
                                     _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, quote)));
    if (_mm_movemask_epi8(hit) != 0) return false;
  }
#endif
  for (; p < end; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c >= 0x80 || c == '&' || c == '<' || c == '"') return false;
  }
  return true;
}

// What goes before each field's value: ' ', its name and '="'.
const std::array<std::string, kFieldCount>& FieldLeads() {
  static const std::array<std::string, kFieldCount> leads = [] {
    std::array<std::string, kFieldCount> made;
    for (int i = 0; i < kFieldCount; ++i) made[i] = " " + std::string(FieldNames[i]) + "=\"";
    return made;
  }();
  return leads;
}

char* Put(char* out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

}  // namespace

CatalogWriter::CatalogWriter(std::function<void(std::string_view)> write)
    : write_(std::move(write)) {
  text_->reserve(kPieceBytes * 2);
}

CatalogWriter::CatalogWriter(std::function<void(std::string_view)> write, Part)
    : write_(std::move(write)), started_(true), part_(true) {
  text_->reserve(kPieceBytes * 2);
}

CatalogWriter::CatalogWriter(std::string* text, Part) : text_(text), started_(true), part_(true) {}

void CatalogWriter::AppendJoint(std::string* out, int before, int after) {
  if (before < 0) {
    out->append(kDeclaration);
    out->append("<fileinfo generated=\"");
    AppendEscapedAttribute(*out, kGeneratedAddress);
    out->push_back('"');
    out->append(after < 0 ? "/>" : ">");
    return;
  }
  if (after > before) {
    out->push_back('>');
    return;
  }
  out->append("/>");
  for (int level = before; level > std::max(after, 0); --level) out->append("</file>");
  if (after < 0) out->append("</fileinfo>");
}

void CatalogWriter::Start() {
  text_->append(kDeclaration);
  text_->append("<fileinfo generated=\"");
  AppendEscapedAttribute(*text_, kGeneratedAddress);
  text_->push_back('"');
  started_ = true;
}

void CatalogWriter::AppendAttribute(std::string_view name, std::string_view value) {
  if (value.empty()) return;
  text_->push_back(' ');
  text_->append(name);
  text_->append("=\"");
  AppendEscapedAttribute(*text_, SanitizeText(value, &clean_) ? std::string_view(clean_) : value);
  text_->push_back('"');
}

bool CatalogWriter::AppendPlainElement(const RecordView& record) {
  // The room the element takes when every value is plain, found in the same pass that checks
  // them; then the whole element is copied in without a check per piece.
  constexpr std::string_view kStart = "<file";
  const std::array<std::string, kFieldCount>& leads = FieldLeads();
  std::size_t room = kStart.size();
  for (int i = 0; i < kFieldCount; ++i) {
    const std::string_view value = record.fields[i];
    if (value.empty()) continue;
    if (!IsPlainAttributeText(value)) return false;
    room += leads[i].size() + value.size() + 1;
  }
  for (const ExtraAttribute& extra : record.extras) {
    if (extra.value.empty()) continue;
    if (!IsPlainAttributeText(extra.value)) return false;
    room += extra.name.size() + extra.value.size() + 4;
  }
  const std::size_t start = text_->size();
  text_->resize(start + room);
  char* out = Put(text_->data() + start, kStart);
  for (int i = 0; i < kFieldCount; ++i) {
    const std::string_view value = record.fields[i];
    if (value.empty()) continue;
    out = Put(Put(out, leads[i]), value);
    *out++ = '"';
  }
  for (const ExtraAttribute& extra : record.extras) {
    if (extra.value.empty()) continue;
    *out++ = ' ';
    out = Put(Put(out, extra.name), "=\"");
    out = Put(out, extra.value);
    *out++ = '"';
  }
  return true;
}

void CatalogWriter::FlushIfFull() {
  if (!write_ || text_->size() < kPieceBytes) return;
  write_(*text_);
  text_->clear();
}

bool CatalogWriter::Add(const RecordView& record) {
  if (!started_) Start();
  const int depth = std::clamp(record.depth, 0, part_ && depth_ < 0 ? record.depth : depth_ + 1);
  if (first_depth_ < 0) first_depth_ = depth;
  if (part_ && depth_ < 0) {
    // The first record of a part: what goes before it is the joint.
  } else if (depth_ < 0) {
    text_->push_back('>');  // the root gets its first child
  } else if (depth > depth_) {
    text_->push_back('>');  // the last record gets its first child
  } else {
    text_->append("/>");
    for (int level = depth_; level > depth; --level) text_->append("</file>");
  }
  if (!AppendPlainElement(record)) {
    text_->append("<file");
    for (int i = 0; i < kFieldCount; ++i) AppendAttribute(FieldNames[i], record.fields[i]);
    for (const ExtraAttribute& extra : record.extras) AppendAttribute(extra.name, extra.value);
  }
  depth_ = depth;
  FlushIfFull();
  return true;
}

void CatalogWriter::Finish() {
  if (part_) {
    if (!write_) return;  // the text stays in the caller's string
    write_(*text_);
    text_->clear();
    return;
  }
  if (!started_) Start();
  if (depth_ < 0) {
    text_->append("/>");
  } else {
    text_->append("/>");
    for (int level = depth_; level > 0; --level) text_->append("</file>");
    text_->append("</fileinfo>");
  }
  write_(*text_);
  text_->clear();
  started_ = false;
  depth_ = -1;
  first_depth_ = -1;
}

namespace {

// The text of one part and the depths of its first and last records (-1: no record).
struct PartText {
  std::string text;
  int first_depth = -1;
  int last_depth = -1;
};

// Makes part `index` into `out`, whose text buffer keeps its memory from the part before.
void MakePart(const std::function<void(std::size_t, CatalogWriter&)>& make, std::size_t index,
              PartText* out) {
  out->text.clear();
  CatalogWriter writer(&out->text, CatalogWriter::Part());
  make(index, writer);
  writer.Finish();
  out->first_depth = writer.FirstDepth();
  out->last_depth = writer.LastDepth();
}

// Writes `part` after the record of depth `*last_depth` and takes its last depth.
void WritePartText(const PartText& part, int* last_depth, std::string* joint,
                   const std::function<void(std::string_view)>& write) {
  if (part.first_depth < 0) return;
  joint->clear();
  CatalogWriter::AppendJoint(joint, *last_depth, part.first_depth);
  write(*joint);
  write(part.text);
  *last_depth = part.last_depth;
}

// Makes the parts of a catalog text on worker threads for one writing thread, which takes them
// in order. At most `threads` parts are being made or wait to be written at a time, so part i
// uses the text buffer of slot i % threads: a buffer is used again, already in memory, once the
// part before it in that slot is written.
class PartMakers {
 public:
  PartMakers(std::size_t count, std::size_t threads,
             const std::function<void(std::size_t, CatalogWriter&)>& make)
      : make_(make), count_(count), threads_(threads), slots_(threads), done_(count, 0) {}
  PartMakers(const PartMakers&) = delete;
  PartMakers& operator=(const PartMakers&) = delete;
  ~PartMakers() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

  // Starts the workers. A thread that cannot be started (no memory left for its stack) leaves
  // its parts to the others; false when not one could be.
  bool Start() {
    for (std::size_t i = 0; i < threads_; ++i) {
      try {
        workers_.emplace_back([this] { Work(); });
      } catch (const std::system_error&) {
        break;
      }
    }
    return !workers_.empty();
  }

  // Waits until part `index` is made and returns it; an exception raised while making any part
  // is raised here.
  const PartText& Wait(std::size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return done_[index] || failure_; });
    if (failure_) std::rethrow_exception(failure_);
    return slots_[index % threads_];
  }

  // Part `index` is written: its slot may take the next part.
  void Written(std::size_t index) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      written_ = index + 1;
    }
    changed_.notify_all();
  }

 private:
  void Work() {
    for (;;) {
      std::size_t index;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock,
                      [&] { return quit_ || next_ == count_ || next_ < written_ + threads_; });
        if (quit_ || next_ == count_) return;
        index = next_++;
      }
      try {
        MakePart(make_, index, &slots_[index % threads_]);
      } catch (...) {
        // Kept for the writing thread, which raises it again; the other workers stop.
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!failure_) failure_ = std::current_exception();
        quit_ = true;
        changed_.notify_all();
        return;
      }
      const std::lock_guard<std::mutex> lock(mutex_);
      done_[index] = 1;
      changed_.notify_all();
    }
  }

  const std::function<void(std::size_t, CatalogWriter&)>& make_;
  const std::size_t count_;
  const std::size_t threads_;
  std::vector<PartText> slots_;
  std::vector<char> done_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t next_ = 0;     // the next part a worker takes
  std::size_t written_ = 0;  // parts written so far
  bool quit_ = false;        // the workers are to end
  std::exception_ptr failure_;
  std::vector<std::thread> workers_;
};

}  // namespace

bool WriteCatalogParts(std::size_t count, std::size_t threads,
                       const std::function<void(std::size_t, CatalogWriter&)>& make,
                       const std::function<void(std::string_view)>& write, std::stop_token stop) {
  std::string joint;
  int last_depth = -1;
  const auto end = [&] {
    joint.clear();
    CatalogWriter::AppendJoint(&joint, last_depth, -1);
    write(joint);
    return true;
  };
  std::optional<PartMakers> makers;
  if (threads >= 2 && count >= 2) {
    makers.emplace(count, threads, make);
    if (!makers->Start()) makers.reset();
  }
  if (!makers) {
    // Without threads to make them, every part is made on this thread, into one buffer.
    PartText part;
    for (std::size_t i = 0; i < count; ++i) {
      MakePart(make, i, &part);
      if (stop.stop_requested()) return false;
      WritePartText(part, &last_depth, &joint, write);
    }
    return end();
  }
  for (std::size_t i = 0; i < count; ++i) {
    const PartText& part = makers->Wait(i);
    if (stop.stop_requested()) return false;
    WritePartText(part, &last_depth, &joint, write);
    makers->Written(i);
  }
  return end();
}

}  // namespace lumivor
