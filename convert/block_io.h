#pragma once
// The ring of a conversion: an image cut into jobs of whole records, read
// in turn by one reader thread, converted by a pool of worker threads, and
// handed to the caller (the writer) strictly in record order.
//
//   reader --(job read)--> workers --(job converted)--> caller: Next, write,
//      ^                                                       Release
//      +------------------------ slot free <---------------------+
//
// The ring has 2 slots a worker and 2 more, so every worker has a job while
// the reader reads ahead and the caller writes; memory is bounded by the
// workers, never by the image. The caller alone reports (status, code error
// rows, counts): workers only fill their job, so nothing in the record loop
// is shared.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "convert/decoders.h"

// The status is shown every this many records.
constexpr int kStatusEvery = 100;
// The most worker threads a conversion uses.
constexpr int kMaxWorkers = 64;

// What a conversion's jobs are like; fixed for the file.
struct RingShape {
  size_t recordLength;    // bytes of a record, at least 1
  int32_t recordsPerJob;  // at least 1
  size_t outBytes;        // each job's output block
  size_t scratchBytes;    // each converting thread's own block (0: none)
  int workers;            // 1 to kMaxWorkers
};

// The counts of a job at a record whose number is a multiple of
// kStatusEvery, for the status shown there.
struct StatusPoint {
  int32_t errors;
  int32_t doubleByte;
  int32_t singleByte;
};

// One job: a range of records and what they became. Who may touch what:
// - index..failure: the reader's while it reads the job, then read-only
//   until the caller releases it.
// - out..statusCount: the converting worker's while it converts the job,
//   then read-only for the caller until it releases the job. The buffers
//   themselves belong to the slot (made by the reader at the slot's first
//   use, freed with the ring).
// - The hand-overs (read, converted, released) pass under the ring's lock,
//   which orders every write before them for the next owner.
struct RingJob {
  enum class Failure { kNone, kReadFailed, kNoMemory };

  int64_t index;        // 0, 1, ... in record order
  int64_t firstRecord;  // records before this job's first
  const char* image;    // the job's records, back to back
  int32_t records;      // whole records read
  bool partial;         // the image ends inside a record after them
  Failure failure;      // the job holds no usable records (and is the last)

  char* out;                // the converted rows
  size_t outBytes;          // how many of them
  int32_t errors;           // error total of the job (saturating)
  CodeErrorReport report;   // its code errors, rows kept for the file's report
  StatusPoint* status;      // at each record number divisible by kStatusEvery
  int32_t statusCount;

  // The slot's buffers.
  std::unique_ptr<char[]> imageBlock;
  std::unique_ptr<char[]> outBlock;
  std::unique_ptr<StatusPoint[]> statusBlock;
};

// Converts job->records records at job->image into job->out and fills the
// job's counts; scratch is the calling thread's own block (shape's
// scratchBytes). Runs on a worker thread, several at once: it may read
// context and the job, and write only the job and scratch.
using JobConverter = void (*)(RingJob* job, char* scratch, const void* context);

class RecordRing {
 public:
  RecordRing() = default;
  ~RecordRing() { Stop(); }
  RecordRing(const RecordRing&) = delete;
  RecordRing& operator=(const RecordRing&) = delete;

  // Starts reading image (from where it stands) and converting it. Threads
  // that cannot be started leave their work to the caller's Next.
  void Start(FILE* image, const RingShape& shape, JobConverter convert, const void* context);
  // The next job in record order once it is converted; null after the
  // last. A job with a failure ends the ring: nothing follows it.
  RingJob* Next();
  // The caller is done with the job Next gave: its slot takes a later job.
  void Release();
  // Ends reading and converting (a cancel or a failure need not wait for
  // the image's end) and waits for the threads. Jobs not released are lost.
  void Stop();

 private:
  // A worker's own scratch block.
  struct Worker {
    std::thread thread;
    std::unique_ptr<char[]> scratch;
  };

  void ReaderLoop();
  void WorkerLoop(Worker* self);
  // Reads job k into its slot; false when it is the last.
  bool ReadJob(int64_t k);
  void ConvertJob(RingJob* job, Worker* worker);
  // Starts another worker when jobs wait and none is idle (under lock_).
  void MoreWorkers();
  RingJob& Slot(int64_t k) { return slots_[static_cast<size_t>(k % static_cast<int64_t>(slots_.size()))]; }

  // Set by Start, read-only while threads run.
  FILE* image_ = nullptr;
  RingShape shape_{};
  JobConverter convert_ = nullptr;
  const void* context_ = nullptr;
  std::vector<RingJob> slots_;
  std::vector<bool> slotConverted_;  // under lock_
  Worker caller_;                    // the caller's scratch, when it converts

  // Under lock_.
  std::mutex lock_;
  std::condition_variable readerWake_;  // a slot was released, or stop
  std::condition_variable workerWake_;  // a job was read, or the end, or stop
  std::condition_variable callerWake_;  // a job was converted, or a thread gave up
  int64_t read_ = 0;       // jobs read
  bool readEnd_ = false;   // the reader read its last job
  int64_t claimed_ = 0;    // jobs taken by a converting thread
  int64_t released_ = 0;   // jobs released by the caller
  bool stop_ = false;
  bool readerRuns_ = false;    // false: the caller reads
  int workersStarted_ = 0;     // 0 after Start's: the caller converts
  int workersIdle_ = 0;
  std::vector<std::unique_ptr<Worker>> workers_;

  std::thread reader_;
  bool started_ = false;
};
