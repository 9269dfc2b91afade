// The conversion ring's own cost, for the scaling model of the README: jobs
// that convert nothing (each record copied as its row), so the time is the
// reader's, the hand-overs' and the caller's. Prints the microseconds a job
// costs the ring with 1, 2, 4, ... workers.
//
//   ring_bench IMAGE RECORD_LENGTH RECORDS_PER_JOB [JOBS]
//
// JOBS (default all) stops the ring after that many jobs.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "convert/block_io.h"

namespace {

void Copy(RingJob* job, char*, const void* context) {
  const size_t length = *static_cast<const size_t*>(context);
  job->outBytes = length * static_cast<size_t>(job->records);
  std::memcpy(job->out, job->image, job->outBytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: ring_bench IMAGE RECORD_LENGTH RECORDS_PER_JOB [JOBS]\n");
    return 2;
  }
  const size_t length = std::strtoul(argv[2], nullptr, 10);
  const int32_t perJob = static_cast<int32_t>(std::strtol(argv[3], nullptr, 10));
  const long long most = argc == 5 ? std::strtoll(argv[4], nullptr, 10) : -1;
  for (int workers = 1; workers <= 8; workers *= 2) {
    FILE* image = std::fopen(argv[1], "rb");
    if (image == nullptr) return 1;
    const auto start = std::chrono::steady_clock::now();
    RecordRing ring;
    const size_t out = length * static_cast<size_t>(perJob);
    ring.Start(image, RingShape{length, perJob, out, 0, workers}, Copy, &length);
    long long jobs = 0;
    unsigned long long bytes = 0;
    while (jobs != most) {
      RingJob* job = ring.Next();
      if (job == nullptr) break;
      bytes += job->outBytes;
      ++jobs;
      ring.Release();
    }
    ring.Stop();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fclose(image);
    std::printf("workers=%d jobs=%lld bytes=%llu seconds=%.4f us_per_job=%.2f\n", workers, jobs, bytes, seconds,
                seconds * 1e6 / static_cast<double>(jobs));
  }
  return 0;
}
