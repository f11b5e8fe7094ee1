#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <memory>
#include <string_view>

namespace lumivor {

// Reads the first bytes of many files of one folder with one system call, for each file an open,
// a read and a close chained in the kernel (io_uring), then their facts as the plain scan takes
// them (one fstatat each). A deep scan reads the headers of thousands of small files, where the
// system calls of opening, reading and closing each one cost more than the reading itself.
//
// Where the system offers no io_uring (an old kernel, a sandbox that refuses it) Ready() is
// false and the caller reads the files one by one.
class FileHeads {
 public:
  // The most files read at once, and the most bytes read of each.
  static constexpr std::size_t kBatch = 64;
  static constexpr std::size_t kHeadBytes = 4096;

  FileHeads();
  ~FileHeads();
  FileHeads(const FileHeads&) = delete;
  FileHeads& operator=(const FileHeads&) = delete;

  // False without io_uring, and once a batch showed the kernel unable to open files into the
  // ring's own table (kernels before 5.15 refuse every such open).
  [[nodiscard]] bool Ready() const { return ring_ != nullptr && !refused_; }

  // Forgets the files of the last batch.
  void Clear() { count_ = 0; }

  // Adds the file `name` of the folder open at `dir_fd` (both must stay valid until Run), to be
  // opened without following a link, without waiting on a FIFO and, with `no_atime`, without
  // changing its access time. False when the batch is full.
  bool Add(int dir_fd, const char* name, bool no_atime);

  [[nodiscard]] std::size_t Count() const { return count_; }

  // Reads every file added since Clear.
  void Run();

  struct Head {
    // True when the file was a regular file whose facts and first bytes (all of them up to
    // kHeadBytes) were read; otherwise nothing below counts and the file is to be read alone.
    bool read = false;
    // True when the open was refused only because of `no_atime` (a file of another owner).
    bool no_atime_refused = false;
    struct stat info {};
    std::string_view bytes;
  };
  // What Run found for the `index`-th file added.
  [[nodiscard]] const Head& Result(std::size_t index) const;

 private:
  struct Ring;
  std::unique_ptr<Ring> ring_;
  std::size_t count_ = 0;
  bool refused_ = false;
};

}  // namespace lumivor
