#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <thread>

// One job at a time on a thread of its own, so the disk works while the
// caller converts. When no thread can be started, jobs run at once in the
// caller's time; either way a job has finished when Wait returns.
class BackgroundJob {
 public:
  BackgroundJob();
  ~BackgroundJob();  // waits for the job that runs
  BackgroundJob(const BackgroundJob&) = delete;
  BackgroundJob& operator=(const BackgroundJob&) = delete;

  // Waits for the job before, then starts run(context).
  void Start(void (*run)(void*), void* context);
  void Wait();

 private:
  void Loop();

  std::mutex mutex_;
  std::condition_variable changed_;
  void (*run_)(void*) = nullptr;  // the job, while it waits or runs
  void* context_ = nullptr;
  bool stop_ = false;
  bool threaded_ = false;
  std::thread thread_;
};

// Turns a block into what the stream gets (another encoding) at out, which
// has the room the caller knows it needs; returns the bytes written there.
using BlockEncoder = size_t (*)(const char* in, size_t size, char* out);

// Writes blocks to a stream behind the caller. Blocks are written whole and
// in the order given; after the first failed write nothing more is written.
// Submit returns once the block handed over before is written, so two
// blocks, filled in turn, keep both sides busy. With an encoder each block
// is encoded into encoded on the writer's thread first.
class BlockWriter {
 public:
  explicit BlockWriter(FILE* out, BlockEncoder encoder = nullptr, char* encoded = nullptr)
      : out_(out), encoder_(encoder), encoded_(encoded) {}

  // Hands over [data, data + size), which stays untouched until the next
  // Submit or Finish returns. False when a block handed over earlier could
  // not be written (this one is then dropped).
  bool Submit(const char* data, size_t size);
  // Waits until every block handed over is written; false if any failed.
  bool Finish();

 private:
  static void Write(void* self);

  FILE* out_;
  BlockEncoder encoder_;
  char* encoded_;
  const char* data_ = nullptr;
  size_t size_ = 0;
  bool failed_ = false;
  BackgroundJob job_;  // last: stopped before the members it uses go
};

// Reads a stream ahead of the caller, one block at a time, as fread would
// fill it: until the block is full or the stream ends or fails.
class BlockReader {
 public:
  explicit BlockReader(FILE* in) : in_(in) {}

  // Starts filling [data, data + size).
  void Start(char* data, size_t size);
  // Waits for the block started last: the bytes read, and whether the
  // stream failed on the way.
  size_t Wait(bool* failed);

 private:
  static void Read(void* self);

  FILE* in_;
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t got_ = 0;
  bool failed_ = false;
  BackgroundJob job_;
};
