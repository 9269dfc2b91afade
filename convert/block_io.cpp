#include "convert/block_io.h"

#include <system_error>

BackgroundJob::BackgroundJob() {
  try {
    thread_ = std::thread(&BackgroundJob::Loop, this);
    threaded_ = true;
  } catch (const std::system_error&) {
    threaded_ = false;  // no thread to spare: jobs run in the caller's time
  }
}

BackgroundJob::~BackgroundJob() {
  if (!threaded_) return;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return run_ == nullptr; });
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void BackgroundJob::Start(void (*run)(void*), void* context) {
  if (!threaded_) {
    run(context);
    return;
  }
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return run_ == nullptr; });
    run_ = run;
    context_ = context;
  }
  changed_.notify_all();
}

void BackgroundJob::Wait() {
  if (!threaded_) return;
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return run_ == nullptr; });
}

void BackgroundJob::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return run_ != nullptr || stop_; });
    if (run_ == nullptr) return;  // stopped with nothing to do
    void (*run)(void*) = run_;
    void* context = context_;
    lock.unlock();
    run(context);
    lock.lock();
    run_ = nullptr;
    changed_.notify_all();
  }
}

bool BlockWriter::Submit(const char* data, size_t size) {
  job_.Wait();
  if (failed_) return false;
  data_ = data;
  size_ = size;
  job_.Start(&BlockWriter::Write, this);
  return true;
}

bool BlockWriter::Finish() {
  job_.Wait();
  return !failed_;
}

void BlockWriter::Write(void* self) {
  BlockWriter& w = *static_cast<BlockWriter*>(self);
  const char* data = w.data_;
  size_t size = w.size_;
  if (w.encoder_ != nullptr && size != 0) {
    size = w.encoder_(data, size, w.encoded_);
    data = w.encoded_;
  }
  if (size != 0 && std::fwrite(data, 1, size, w.out_) != size) w.failed_ = true;
}

void BlockReader::Start(char* data, size_t size) {
  job_.Wait();
  data_ = data;
  size_ = size;
  got_ = 0;
  job_.Start(&BlockReader::Read, this);
}

size_t BlockReader::Wait(bool* failed) {
  job_.Wait();
  *failed = failed_;
  return got_;
}

void BlockReader::Read(void* self) {
  BlockReader& r = *static_cast<BlockReader*>(self);
  while (r.got_ < r.size_) {
    const size_t n = std::fread(r.data_ + r.got_, 1, r.size_ - r.got_, r.in_);
    r.got_ += n;
    if (n == 0) break;
  }
  if (std::ferror(r.in_)) r.failed_ = true;
}
