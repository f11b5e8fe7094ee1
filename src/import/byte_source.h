#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace lumivor {

// The input of an import, read front to back in windows of a fixed size, so that a listing of
// any length is never held whole. It counts the bytes and lines it has handed out, so that every
// error can say where in the file it was found.
//
// A source is either a file (opened by the rule of OpenRegularFile: a regular file or a pipe
// handed over open; "-" is the standard input) or a text in memory (tests, fuzz targets).
class ByteSource {
 public:
  // The window size: the most a source holds at a time besides one line (ReadLine).
  static constexpr std::size_t kWindow = 256 * 1024;

  // Opens `path`; raises LumivorError "PATH: REASON" when it cannot be read.
  explicit ByteSource(const std::string& path);
  // A source over `text`, which must outlive it; `name` stands for the file in messages.
  ByteSource(std::string_view text, std::string name);
  ~ByteSource();
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  // The file's name as messages show it ("standard input" for "-").
  [[nodiscard]] const std::string& Name() const { return name_; }

  // The next byte without taking it; -1 at the end.
  [[nodiscard]] int Peek() {
    if (pos_ == end_ && !Fill()) return -1;
    return static_cast<unsigned char>(data_[pos_]);
  }
  // Takes the next byte; -1 at the end.
  int Get() {
    if (pos_ == end_ && !Fill()) return -1;
    const unsigned char c = static_cast<unsigned char>(data_[pos_++]);
    if (c == '\n') ++line_;
    return c;
  }
  // The bytes from the current position up to the end of the window (at least one unless at the
  // end of the input); they are taken with Skip.
  [[nodiscard]] std::string_view Available() {
    if (pos_ == end_) Fill();
    return std::string_view(data_ + pos_, end_ - pos_);
  }
  // Takes `count` bytes of what Available returned.
  void Skip(std::size_t count);
  // The same for bytes known to hold no line break (nothing to count).
  void SkipInLine(std::size_t count) { pos_ += count; }

  // Reads the next line without its line end (LF or CR LF) into `line`. False at the end of the
  // input. A last line without a line end is returned too; `*terminated` tells which. A line
  // longer than `max_length` raises LumivorError naming the line.
  bool ReadLine(std::string* line, bool* terminated, std::size_t max_length = 1 << 20);

  // Up to `size` bytes from the current position, without taking them (for telling formats).
  [[nodiscard]] std::string_view Head(std::size_t size);

  // Bytes taken so far (the offset of the next byte) and the line they reached (1 for the first).
  [[nodiscard]] std::uint64_t Offset() const { return consumed_ + pos_; }
  [[nodiscard]] std::uint64_t Line() const { return line_; }

  // Copies up to `size` bytes into `out` (for readers that want plain blocks); 0 at the end.
  std::size_t Read(char* out, std::size_t size);

  // Raises LumivorError "NAME: line L: REASON" (`line` 0: the current line) or
  // "NAME: byte B (line L): REASON".
  [[noreturn]] void FailAtLine(std::string_view reason, std::uint64_t line = 0) const;
  [[noreturn]] void FailAtByte(std::string_view reason) const;

 private:
  // Moves the unread rest to the front and reads more; false when nothing more came.
  bool Fill();

  std::string name_;
  int fd_ = -1;
  std::unique_ptr<char[]> buffer_;
  const char* data_ = nullptr;
  std::size_t pos_ = 0, end_ = 0, capacity_ = 0;
  std::uint64_t consumed_ = 0;  // bytes before data_[0]
  std::uint64_t line_ = 1;
  bool memory_ = false;
  bool eof_ = false;
};

}  // namespace lumivor
