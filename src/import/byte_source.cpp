#include "import/byte_source.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/errors.h"
#include "core/input_file.h"

namespace lumivor {

ByteSource::ByteSource(const std::string& path) {
  if (path == "-") {
    name_ = "standard input";
    fd_ = ::dup(0);
    if (fd_ < 0) throw LumivorError(name_ + ": " + SystemMessage(errno));
  } else {
    name_ = path;
    int error = 0;
    fd_ = TryOpenRegularFile(path, &error);
    if (fd_ < 0) throw LumivorError(path + ": " + OpenFailureText(error));
  }
  capacity_ = kWindow;
  buffer_ = std::make_unique<char[]>(capacity_);
  data_ = buffer_.get();
}

ByteSource::ByteSource(std::string_view text, std::string name)
    : name_(std::move(name)), data_(text.data()), end_(text.size()), memory_(true), eof_(true) {}

ByteSource::~ByteSource() {
  if (fd_ >= 0) ::close(fd_);
}

bool ByteSource::Fill() {
  if (eof_) return pos_ < end_;
  char* buffer = buffer_.get();
  const std::size_t rest = end_ - pos_;
  if (pos_ > 0) {
    std::memmove(buffer, buffer + pos_, rest);
    consumed_ += pos_;
    pos_ = 0;
    end_ = rest;
  }
  while (end_ < capacity_) {
    const ssize_t got = ::read(fd_, buffer + end_, capacity_ - end_);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw LumivorError(name_ + ": " + SystemMessage(errno));
    }
    if (got == 0) {
      eof_ = true;
      break;
    }
    end_ += static_cast<std::size_t>(got);
    // Hand on what came; a pipe delivers in pieces and the reader may not need more.
    break;
  }
  return pos_ < end_;
}

void ByteSource::Skip(std::size_t count) {
  if (count == 0) return;
  const char* begin = data_ + pos_;
  for (const char* at = begin;
       (at = static_cast<const char*>(std::memchr(at, '\n', count - (at - begin)))) != nullptr;
       ++at) {
    ++line_;
  }
  pos_ += count;
}

std::string_view ByteSource::Head(std::size_t size) {
  if (!memory_) {
    size = std::min(size, capacity_);
    // Each Fill reads something or reaches the end, and there is always room for `size` bytes.
    while (!eof_ && end_ - pos_ < size) Fill();
  }
  return std::string_view(data_ + pos_, std::min(size, end_ - pos_));
}

bool ByteSource::ReadLine(std::string* line, bool* terminated, std::size_t max_length) {
  line->clear();
  *terminated = false;
  bool any = false;
  for (;;) {
    const std::string_view window = Available();
    if (window.empty()) break;
    any = true;
    const void* found = std::memchr(window.data(), '\n', window.size());
    const std::size_t take =
        found ? static_cast<std::size_t>(static_cast<const char*>(found) - window.data())
              : window.size();
    if (line->size() + take > max_length) FailAtLine("line too long");
    line->append(window.data(), take);
    if (found) {
      pos_ += take + 1;
      ++line_;
      *terminated = true;
      break;
    }
    pos_ += take;
  }
  if (*terminated && !line->empty() && line->back() == '\r') line->pop_back();
  return any;
}

std::size_t ByteSource::Read(char* out, std::size_t size) {
  const std::string_view window = Available();
  const std::size_t take = std::min(size, window.size());
  std::memcpy(out, window.data(), take);
  Skip(take);
  return take;
}

void ByteSource::FailAtLine(std::string_view reason, std::uint64_t line) const {
  throw LumivorError(name_ + ": line " + std::to_string(line == 0 ? line_ : line) + ": " +
                     std::string(reason));
}

void ByteSource::FailAtByte(std::string_view reason) const {
  throw LumivorError(name_ + ": byte " + std::to_string(Offset()) + " (line " +
                     std::to_string(line_) + "): " + std::string(reason));
}

}  // namespace lumivor
