#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <thread>

// Writes blocks to a stream on a thread of its own, so the disk works on one
// block while the caller fills the next. Blocks are written whole and in the
// order given; after the first failed write nothing more is written.
//
// The caller owns the blocks. Submit hands one over and returns once the block
// handed over before it is written, so two blocks, filled in turn, keep both
// sides busy. When no thread can be started the blocks are written at once.
class BlockWriter {
 public:
  explicit BlockWriter(FILE* out);
  ~BlockWriter();
  BlockWriter(const BlockWriter&) = delete;
  BlockWriter& operator=(const BlockWriter&) = delete;

  // Hands over [data, data + size). Returns false when a block handed over
  // earlier could not be written (this one is then dropped).
  bool Submit(const char* data, size_t size);
  // Waits until every block handed over is written; false if any failed.
  bool Finish();

 private:
  void Run();
  bool Write(const char* data, size_t size);
  void WaitIdle(std::unique_lock<std::mutex>& lock);

  FILE* out_;
  std::mutex mutex_;
  std::condition_variable changed_;
  const char* pending_ = nullptr;  // the block waiting for the thread
  size_t pendingSize_ = 0;
  bool busy_ = false;              // a block is pending or being written
  bool failed_ = false;
  bool stop_ = false;
  bool threaded_ = false;
  std::thread thread_;
};
