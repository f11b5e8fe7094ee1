#include "catalog/catalog_writer.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "catalog/catalog_file.h"
#include "catalog/xml_document.h"

namespace lumivor {

namespace {

constexpr std::string_view kDeclaration =
    "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>";
constexpr std::size_t kPieceBytes = 1 << 16;

}  // namespace

CatalogWriter::CatalogWriter(std::function<void(std::string_view)> write)
    : write_(std::move(write)) {
  buffer_.reserve(kPieceBytes * 2);
}

CatalogWriter::CatalogWriter(std::function<void(std::string_view)> write, Part)
    : write_(std::move(write)), started_(true), part_(true) {
  buffer_.reserve(kPieceBytes * 2);
}

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
  buffer_.append(kDeclaration);
  buffer_.append("<fileinfo generated=\"");
  AppendEscapedAttribute(buffer_, kGeneratedAddress);
  buffer_.push_back('"');
  started_ = true;
}

void CatalogWriter::AppendAttribute(std::string_view name, std::string_view value) {
  if (value.empty()) return;
  buffer_.push_back(' ');
  buffer_.append(name);
  buffer_.append("=\"");
  AppendEscapedAttribute(buffer_, SanitizeText(value, &clean_) ? std::string_view(clean_) : value);
  buffer_.push_back('"');
}

void CatalogWriter::FlushIfFull() {
  if (buffer_.size() < kPieceBytes) return;
  write_(buffer_);
  buffer_.clear();
}

bool CatalogWriter::Add(const RecordView& record) {
  if (!started_) Start();
  const int depth = std::clamp(record.depth, 0, part_ && depth_ < 0 ? record.depth : depth_ + 1);
  if (first_depth_ < 0) first_depth_ = depth;
  if (part_ && depth_ < 0) {
    // The first record of a part: what goes before it is the joint.
  } else if (depth_ < 0) {
    buffer_.push_back('>');  // the root gets its first child
  } else if (depth > depth_) {
    buffer_.push_back('>');  // the last record gets its first child
  } else {
    buffer_.append("/>");
    for (int level = depth_; level > depth; --level) buffer_.append("</file>");
  }
  buffer_.append("<file");
  for (int i = 0; i < kFieldCount; ++i) AppendAttribute(FieldNames[i], record.fields[i]);
  for (const ExtraAttribute& extra : record.extras) AppendAttribute(extra.name, extra.value);
  depth_ = depth;
  FlushIfFull();
  return true;
}

void CatalogWriter::Finish() {
  if (part_) {
    write_(buffer_);
    buffer_.clear();
    return;
  }
  if (!started_) Start();
  if (depth_ < 0) {
    buffer_.append("/>");
  } else {
    buffer_.append("/>");
    for (int level = depth_; level > 0; --level) buffer_.append("</file>");
    buffer_.append("</fileinfo>");
  }
  write_(buffer_);
  buffer_.clear();
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

void MakePart(const std::function<void(std::size_t, CatalogWriter&)>& make, std::size_t index,
              PartText* out) {
  CatalogWriter writer([out](std::string_view piece) { out->text.append(piece); },
                       CatalogWriter::Part());
  make(index, writer);
  writer.Finish();
  out->first_depth = writer.FirstDepth();
  out->last_depth = writer.LastDepth();
}

// Writes `part` after the record of depth `*last_depth` and takes its last depth.
void WritePartText(PartText& part, int* last_depth, std::string* joint,
                   const std::function<void(std::string_view)>& write) {
  if (part.first_depth < 0) return;
  joint->clear();
  CatalogWriter::AppendJoint(joint, *last_depth, part.first_depth);
  write(*joint);
  write(part.text);
  *last_depth = part.last_depth;
  std::string().swap(part.text);
}

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
  const auto on_this_thread = [&] {
    for (std::size_t i = 0; i < count; ++i) {
      PartText part;
      MakePart(make, i, &part);
      if (stop.stop_requested()) return false;
      WritePartText(part, &last_depth, &joint, write);
    }
    return end();
  };
  if (threads < 2 || count < 2) return on_this_thread();

  std::vector<PartText> texts(count);
  std::vector<char> done(count, 0);
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t next = 0, written = 0;
  bool quit = false;  // the threads are to end
  std::exception_ptr failure;
  const auto work = [&] {
    for (;;) {
      std::size_t index;
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return quit || next == count || next < written + threads; });
        if (quit || next == count) return;
        index = next++;
      }
      try {
        MakePart(make, index, &texts[index]);
      } catch (...) {
        // Raised again on the writing thread, which stops the others.
        const std::lock_guard<std::mutex> lock(mutex);
        if (!failure) failure = std::current_exception();
        quit = true;
        changed.notify_all();
        return;
      }
      const std::lock_guard<std::mutex> lock(mutex);
      done[index] = 1;
      changed.notify_all();
    }
  };
  std::vector<std::thread> workers;
  struct Join {
    std::vector<std::thread>& workers;
    std::mutex& mutex;
    std::condition_variable& changed;
    bool& quit;
    ~Join() {
      {
        const std::lock_guard<std::mutex> lock(mutex);
        quit = true;
      }
      changed.notify_all();
      for (std::thread& worker : workers) worker.join();
    }
  } join{workers, mutex, changed, quit};
  // A thread that cannot be started (no memory left for its stack) leaves its parts to the
  // others; without any, this thread makes every part.
  for (std::size_t i = 0; i < threads; ++i) {
    try {
      workers.emplace_back(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  if (workers.empty()) return on_this_thread();
  for (std::size_t i = 0; i < count; ++i) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [&] { return done[i] || failure; });
      if (failure) std::rethrow_exception(failure);
    }
    if (stop.stop_requested()) return false;
    WritePartText(texts[i], &last_depth, &joint, write);
    {
      const std::lock_guard<std::mutex> lock(mutex);
      written = i + 1;
    }
    changed.notify_all();
  }
  return end();
}

}  // namespace lumivor
