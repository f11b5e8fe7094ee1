#include "scan/file_heads.h"

#include <fcntl.h>
#include <liburing.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <vector>

namespace lumivor {

namespace {

// The parts of one file's read, told apart in the completions.
enum Step : unsigned { kOpen = 0, kRead = 1, kClose = 2 };
constexpr unsigned kSteps = 3;

}  // namespace

struct FileHeads::Ring {
  io_uring ring{};
  std::array<int, kBatch> open_results{}, read_results{};
  // Where each file is, for its facts.
  std::array<int, kBatch> dirs{};
  std::array<const char*, kBatch> names{};
  std::unique_ptr<char[]> bytes{new char[kBatch * kHeadBytes]};
  std::array<Head, kBatch> heads{};
};

FileHeads::FileHeads() {
  // LUMIVOR_NO_IO_URING=1 has every file read alone, as on a system without io_uring.
  if (const char* off = std::getenv("LUMIVOR_NO_IO_URING"); off && *off && *off != '0') return;
  auto ring = std::make_unique<Ring>();
  // One thread submits and waits (the one that made the ring), so the kernel may leave the
  // completions' work until that thread waits for them, instead of interrupting it for each;
  // kernels before 6.1 do not know these flags and get a plain ring.
  io_uring_params params{};
  params.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
  if (io_uring_queue_init_params(kBatch * kSteps, &ring->ring, &params) != 0 &&
      io_uring_queue_init(kBatch * kSteps, &ring->ring, 0) != 0) {
    return;
  }
  // The operations used must all be known to the kernel.
  io_uring_probe* probe = io_uring_get_probe_ring(&ring->ring);
  const bool known = probe && io_uring_opcode_supported(probe, IORING_OP_OPENAT) &&
                     io_uring_opcode_supported(probe, IORING_OP_READ) &&
                     io_uring_opcode_supported(probe, IORING_OP_CLOSE);
  if (probe) io_uring_free_probe(probe);
  if (!known) {
    io_uring_queue_exit(&ring->ring);
    return;
  }
  // Each file is opened into its own slot of the ring's file table, which the read and the close
  // chained to the open then use.
  std::vector<int> slots(kBatch, -1);
  if (io_uring_register_files(&ring->ring, slots.data(), kBatch) != 0) {
    io_uring_queue_exit(&ring->ring);
    return;
  }
  ring_ = std::move(ring);
}

FileHeads::~FileHeads() {
  if (ring_) io_uring_queue_exit(&ring_->ring);
}

bool FileHeads::Add(int dir_fd, const char* name, bool no_atime) {
  if (!ring_ || count_ == kBatch) return false;
  const std::size_t index = count_;
  io_uring* ring = &ring_->ring;
  // Three submission entries per file always fit: the ring holds kBatch * kSteps and Run
  // submits them all before the next batch.
  io_uring_sqe* open = io_uring_get_sqe(ring);
  io_uring_sqe* read = io_uring_get_sqe(ring);
  io_uring_sqe* close = io_uring_get_sqe(ring);
  if (!open || !read || !close) return false;  // never, as said
  const auto slot = static_cast<unsigned>(index);
  ring_->dirs[index] = dir_fd;
  ring_->names[index] = name;
  io_uring_prep_openat_direct(
      open, dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | (no_atime ? O_NOATIME : 0), 0, slot);
  open->flags |= IOSQE_IO_LINK;  // no read without the open
  io_uring_prep_read(read, static_cast<int>(slot), ring_->bytes.get() + index * kHeadBytes,
                     kHeadBytes, 0);
  read->flags |= IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK;  // the close follows even a short read
  io_uring_prep_close_direct(close, slot);
  const std::size_t tag = index * kSteps;
  io_uring_sqe_set_data64(open, tag + kOpen);
  io_uring_sqe_set_data64(read, tag + kRead);
  io_uring_sqe_set_data64(close, tag + kClose);
  ++count_;
  return true;
}

void FileHeads::Run() {
  if (!ring_ || count_ == 0) return;
  io_uring* ring = &ring_->ring;
  for (std::size_t i = 0; i < count_; ++i) {
    ring_->open_results[i] = ring_->read_results[i] = -ECANCELED;
  }
  std::size_t awaited = count_ * kSteps;
  int submitted = io_uring_submit_and_wait(ring, static_cast<unsigned>(awaited));
  while (submitted == -EINTR) submitted = io_uring_submit_and_wait(ring, 0);
  if (submitted < 0) awaited = 0;  // nothing went to the kernel: every file is read alone
  while (awaited > 0) {
    io_uring_cqe* cqe = nullptr;
    const int waited = io_uring_wait_cqe(ring, &cqe);
    if (waited == -EINTR) continue;
    if (waited < 0 || !cqe) break;
    const std::uint64_t tag = io_uring_cqe_get_data64(cqe);
    const std::size_t index = tag / kSteps;
    if (index < count_) {
      switch (tag % kSteps) {
        case kOpen:
          ring_->open_results[index] = cqe->res;
          break;
        case kRead:
          ring_->read_results[index] = cqe->res;
          break;
        default:
          break;
      }
    }
    io_uring_cqe_seen(ring, cqe);
    --awaited;
  }
  std::size_t refused = 0;
  for (std::size_t i = 0; i < count_; ++i) {
    if (ring_->open_results[i] == -EINVAL) ++refused;
  }
  refused_ = refused == count_;
  for (std::size_t i = 0; i < count_; ++i) {
    Head& head = ring_->heads[i];
    head = {};
    head.no_atime_refused = ring_->open_results[i] == -EPERM;
    // The facts are taken here rather than in the ring: the kernel runs a statx from the ring
    // on a worker thread, and waking that thread for every batch costs more than the call.
    if (::fstatat(ring_->dirs[i], ring_->names[i], &head.info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const auto expected =
        static_cast<std::size_t>(std::min<std::uint64_t>(head.info.st_size, kHeadBytes));
    // A file changed between the read and the look at its facts is read again alone.
    head.read = S_ISREG(head.info.st_mode) && ring_->open_results[i] >= 0 &&
                ring_->read_results[i] == static_cast<int>(expected);
    if (head.read) head.bytes = {ring_->bytes.get() + i * kHeadBytes, expected};
  }
}

const FileHeads::Head& FileHeads::Result(std::size_t index) const { return ring_->heads[index]; }

}  // namespace lumivor
