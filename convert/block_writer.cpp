#include "convert/block_writer.h"

#include <system_error>

BlockWriter::BlockWriter(FILE* out) : out_(out) {
  try {
    thread_ = std::thread(&BlockWriter::Run, this);
    threaded_ = true;
  } catch (const std::system_error&) {
    threaded_ = false;  // no thread to spare: write in the caller's time
  }
}

BlockWriter::~BlockWriter() {
  if (!threaded_) return;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    WaitIdle(lock);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool BlockWriter::Write(const char* data, size_t size) {
  return size == 0 || std::fwrite(data, 1, size, out_) == size;
}

void BlockWriter::WaitIdle(std::unique_lock<std::mutex>& lock) {
  changed_.wait(lock, [this] { return !busy_; });
}

bool BlockWriter::Submit(const char* data, size_t size) {
  if (!threaded_) {
    if (!failed_) failed_ = !Write(data, size);
    return !failed_;
  }
  {
    std::unique_lock<std::mutex> lock(mutex_);
    WaitIdle(lock);
    if (failed_) return false;
    pending_ = data;
    pendingSize_ = size;
    busy_ = true;
  }
  changed_.notify_all();
  return true;
}

bool BlockWriter::Finish() {
  if (!threaded_) return !failed_;
  std::unique_lock<std::mutex> lock(mutex_);
  WaitIdle(lock);
  return !failed_;
}

void BlockWriter::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return busy_ || stop_; });
    if (!busy_) return;  // stopped with nothing pending
    const char* data = pending_;
    const size_t size = pendingSize_;
    lock.unlock();
    const bool written = Write(data, size);
    lock.lock();
    if (!written) failed_ = true;
    busy_ = false;
    changed_.notify_all();
  }
}
