#include "convert/block_io.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

// A job's rows: its records reversed, each byte once, and a job that
// sleeps now and then so that later jobs overtake it on other workers.
void Reverse(RingJob* job, char* scratch, const void* context) {
  const size_t length = *static_cast<const size_t*>(context);
  const size_t size = length * static_cast<size_t>(job->records);
  if (job->index % 3 == 1) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  std::memcpy(scratch, job->image, size);  // the worker's own block
  for (size_t i = 0; i < size; ++i) job->out[i] = scratch[size - 1 - i];
  job->outBytes = size;
  job->errors = static_cast<int32_t>(job->index);
}

FILE* ImageOf(const std::string& content) {
  FILE* in = std::tmpfile();
  if (in == nullptr) return nullptr;
  std::fwrite(content.data(), 1, content.size(), in);
  std::rewind(in);
  return in;
}

RingShape Shape(size_t length, int32_t perJob, int workers) {
  return RingShape{length, perJob, length * static_cast<size_t>(perJob), length * static_cast<size_t>(perJob),
                   workers};
}

TEST(RecordRing, JobsComeWholeAndInRecordOrder) {
  const size_t length = 7;
  // Whole jobs, a short last job, a cut record after it, one record.
  for (size_t records : {size_t{0}, size_t{1}, size_t{30}, size_t{31}, size_t{1000}}) {
    for (size_t cut : {size_t{0}, size_t{3}}) {
      for (int workers : {1, 3, 64}) {
        SCOPED_TRACE(std::to_string(records) + " records, cut " + std::to_string(cut) + ", workers " +
                     std::to_string(workers));
        std::string content(records * length + cut, '\0');
        for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
        FILE* in = ImageOf(content);
        ASSERT_NE(in, nullptr);
        RecordRing ring;
        ring.Start(in, Shape(length, 10, workers), Reverse, &length);
        std::string rows;
        std::string expected;
        int64_t next = 0;
        bool partial = false;
        while (RingJob* job = ring.Next()) {
          ASSERT_EQ(job->index, next);
          ASSERT_EQ(job->failure, RingJob::Failure::kNone);
          EXPECT_EQ(job->firstRecord, next * 10);
          EXPECT_EQ(job->errors, static_cast<int32_t>(next));
          rows.append(job->out, job->outBytes);
          const std::string image(job->image, length * static_cast<size_t>(job->records));
          expected.append(image.rbegin(), image.rend());
          partial = job->partial;
          ++next;
          ring.Release();
        }
        ring.Stop();
        std::fclose(in);
        EXPECT_EQ(next, static_cast<int64_t>((records + (cut != 0 ? 1 : 0) + 9) / 10));
        EXPECT_EQ(partial, cut != 0);
        EXPECT_TRUE(rows == expected);
        EXPECT_EQ(expected.size(), records * length);
      }
    }
  }
}

TEST(RecordRing, StopsInTheMiddle) {
  // A cancel: the caller stops after a few jobs of many; the threads end.
  const size_t length = 1;
  FILE* in = ImageOf(std::string(1 << 20, 'x'));
  ASSERT_NE(in, nullptr);
  for (int workers : {1, 64}) {
    std::rewind(in);
    RecordRing ring;
    ring.Start(in, Shape(length, 100, workers), Reverse, &length);
    for (int n = 0; n < 3; ++n) {
      ASSERT_NE(ring.Next(), nullptr);
      ring.Release();
    }
    ring.Stop();
  }
  std::fclose(in);
}

TEST(RecordRing, ReadFailureEndsTheRing) {
#if defined(_WIN32)
  GTEST_SKIP() << "the C runtime takes a read of a write-only stream for its end";
#endif
  // A stream open only for writing refuses every read.
  const std::string path = testing::TempDir() + "record_ring_wo";
  FILE* out = std::fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  const size_t length = 4;
  RecordRing ring;
  ring.Start(out, Shape(length, 4, 2), Reverse, &length);
  RingJob* job = ring.Next();
  ASSERT_NE(job, nullptr);
  EXPECT_EQ(job->failure, RingJob::Failure::kReadFailed);
  ring.Stop();
  std::fclose(out);
  std::remove(path.c_str());
}

}  // namespace
