#include "convert/block_io.h"

#include <new>
#include <system_error>

void RecordRing::Start(FILE* image, const RingShape& shape, JobConverter convert, const void* context) {
  image_ = image;
  shape_ = shape;
  if (shape_.workers < 1) shape_.workers = 1;
  if (shape_.workers > kMaxWorkers) shape_.workers = kMaxWorkers;
  convert_ = convert;
  context_ = context;
  // Two slots a worker, so each can take the next job while the caller
  // writes, and two for the reader and the writer.
  slots_ = std::vector<RingJob>(static_cast<size_t>(2 * shape_.workers + 2));
  slotConverted_.assign(slots_.size(), false);
  started_ = true;
  try {
    reader_ = std::thread(&RecordRing::ReaderLoop, this);
    readerRuns_ = true;
  } catch (const std::system_error&) {
    readerRuns_ = false;  // the caller reads, job by job
  }
}

void RecordRing::Stop() {
  if (!started_) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  readerWake_.notify_all();
  workerWake_.notify_all();
  if (reader_.joinable()) reader_.join();
  // No worker starts once stop_ is set and the reader is gone.
  for (std::unique_ptr<Worker>& w : workers_) {
    if (w->thread.joinable()) w->thread.join();
  }
  workers_.clear();
  started_ = false;
}

bool RecordRing::ReadJob(int64_t k) {
  RingJob& job = Slot(k);
  const size_t want = shape_.recordLength * static_cast<size_t>(shape_.recordsPerJob);
  job.index = k;
  job.firstRecord = k * shape_.recordsPerJob;
  job.records = 0;
  job.partial = false;
  job.failure = RingJob::Failure::kNone;
  job.outBytes = 0;
  job.errors = 0;
  job.statusCount = 0;
  if (!job.imageBlock) {
    // At the slot's first use, so a small image takes few slots' memory.
    job.imageBlock.reset(new (std::nothrow) char[want]);
    job.outBlock.reset(new (std::nothrow) char[shape_.outBytes]);
    job.statusBlock.reset(new (std::nothrow) StatusPoint[shape_.recordsPerJob / kStatusEvery + 1]);
    if (!job.imageBlock || !job.outBlock || !job.statusBlock) {
      job.imageBlock.reset();
      job.failure = RingJob::Failure::kNoMemory;
      return false;
    }
  }
  job.image = job.imageBlock.get();
  job.out = job.outBlock.get();
  job.status = job.statusBlock.get();
  char* data = job.imageBlock.get();
  size_t got = 0;
  while (got < want) {
    const size_t n = std::fread(data + got, 1, want - got, image_);
    got += n;
    if (n == 0) break;
  }
  if (std::ferror(image_)) {
    job.failure = RingJob::Failure::kReadFailed;
    return false;
  }
  job.records = static_cast<int32_t>(got / shape_.recordLength);
  job.partial = got % shape_.recordLength != 0;
  return got == want;
}

void RecordRing::ReaderLoop() {
  for (int64_t k = 0;; ++k) {
    {
      std::unique_lock<std::mutex> hold(lock_);
      readerWake_.wait(hold, [&] { return stop_ || k - released_ < static_cast<int64_t>(slots_.size()); });
      if (stop_) return;
    }
    const bool more = ReadJob(k);
    const RingJob& job = Slot(k);
    // An image that ends at a job's end gives an empty job after it: not
    // passed on.
    const bool empty = !more && job.records == 0 && !job.partial && job.failure == RingJob::Failure::kNone;
    bool callerConverts;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (!empty) {
        slotConverted_[static_cast<size_t>(k % static_cast<int64_t>(slots_.size()))] = false;
        read_ = k + 1;
        MoreWorkers();
      }
      readEnd_ = !more;
      callerConverts = workersStarted_ == 0;
    }
    // The caller waits for converted jobs, which workers tell it of; it is
    // woken here only when it converts itself (no worker could be started)
    // or to learn of the end. Waking it for every job read cost two thread
    // switches a job for nothing.
    if (callerConverts || !more) callerWake_.notify_one();
    if (!more) {
      workerWake_.notify_all();
      return;
    }
    workerWake_.notify_one();
  }
}

void RecordRing::MoreWorkers() {
  if (stop_ || workersStarted_ >= shape_.workers) return;
  if (read_ - claimed_ <= workersIdle_) return;
  std::unique_ptr<Worker> w(new (std::nothrow) Worker);
  if (!w) return;
  if (shape_.scratchBytes != 0) {
    w->scratch.reset(new (std::nothrow) char[shape_.scratchBytes]);
    if (!w->scratch) return;
  }
  try {
    w->thread = std::thread(&RecordRing::WorkerLoop, this, w.get());
  } catch (const std::system_error&) {
    return;  // the workers there are (or the caller) do the work
  }
  ++workersStarted_;
  workers_.push_back(std::move(w));
}

void RecordRing::ConvertJob(RingJob* job, Worker* worker) {
  if (job->failure != RingJob::Failure::kNone) return;
  job->report.StartJob();
  convert_(job, worker->scratch.get(), context_);
}

void RecordRing::WorkerLoop(Worker* self) {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    ++workersIdle_;
    workerWake_.wait(hold, [&] { return stop_ || claimed_ < read_ || readEnd_; });
    --workersIdle_;
    if (stop_ || claimed_ == read_) return;  // stopped, or every job taken
    const int64_t k = claimed_++;
    hold.unlock();
    ConvertJob(&Slot(k), self);
    hold.lock();
    slotConverted_[static_cast<size_t>(k % static_cast<int64_t>(slots_.size()))] = true;
    // Only the job the caller waits for wakes it.
    if (k == released_) callerWake_.notify_one();
  }
}

RingJob* RecordRing::Next() {
  std::unique_lock<std::mutex> hold(lock_);
  const int64_t k = released_;
  const size_t slot = static_cast<size_t>(k % static_cast<int64_t>(slots_.size()));
  for (;;) {
    if (k < read_ && k < claimed_ && slotConverted_[slot]) return &Slot(k);
    if (readEnd_ && k >= read_) return nullptr;
    if (!readerRuns_ && k >= read_) {
      // No reader thread: the caller reads the job itself.
      hold.unlock();
      const bool more = ReadJob(k);
      const RingJob& job = Slot(k);
      const bool empty = !more && job.records == 0 && !job.partial && job.failure == RingJob::Failure::kNone;
      hold.lock();
      if (!empty) {
        slotConverted_[slot] = false;
        read_ = k + 1;
        MoreWorkers();
      }
      readEnd_ = !more;
      hold.unlock();
      workerWake_.notify_all();
      hold.lock();
      continue;
    }
    if (workersStarted_ == 0 && claimed_ == k && k < read_) {
      // No worker could be started: the caller converts.
      claimed_ = k + 1;
      hold.unlock();
      if (caller_.scratch == nullptr && shape_.scratchBytes != 0) {
        caller_.scratch.reset(new (std::nothrow) char[shape_.scratchBytes]);
      }
      RingJob& job = Slot(k);
      if (shape_.scratchBytes != 0 && caller_.scratch == nullptr) {
        job.failure = RingJob::Failure::kNoMemory;
      } else {
        ConvertJob(&job, &caller_);
      }
      hold.lock();
      slotConverted_[slot] = true;
      continue;
    }
    callerWake_.wait(hold);
  }
}

void RecordRing::Release() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    ++released_;
  }
  readerWake_.notify_one();
}
