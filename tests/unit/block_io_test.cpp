#include "convert/block_io.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// Two blocks filled in turn, as the conversion does: each Submit returns only
// when the block before it is written, so refilling the other is safe.
std::string Fill(std::vector<char>* block, int n) {
  for (size_t i = 0; i < block->size(); ++i) (*block)[i] = static_cast<char>('A' + (n + i / 7) % 26);
  return std::string(block->data(), block->size());
}

TEST(BlockWriter, BlocksArriveWholeAndInOrder) {
  FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  std::vector<char> blocks[2] = {std::vector<char>(70001), std::vector<char>(70001)};
  std::string expected;
  {
    BlockWriter writer(out);
    for (int n = 0; n < 60; ++n) {
      std::vector<char>& block = blocks[n % 2];
      // Sizes vary, and an empty block is no write at all.
      block.resize(n % 10 == 3 ? 0 : 70001 - 97 * n);
      expected += Fill(&block, n);
      ASSERT_TRUE(writer.Submit(block.data(), block.size())) << n;
    }
    ASSERT_TRUE(writer.Finish());
  }
  std::rewind(out);
  std::string written(expected.size() + 1, '\0');
  written.resize(std::fread(&written[0], 1, written.size(), out));
  std::fclose(out);
  EXPECT_TRUE(written == expected) << written.size() << " bytes of " << expected.size();
}

TEST(BlockReader, FillsBlocksUntilTheEnd) {
  FILE* in = std::tmpfile();
  ASSERT_NE(in, nullptr);
  std::string content(250000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
  ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), in), content.size());
  std::rewind(in);
  std::vector<char> blocks[2] = {std::vector<char>(65536), std::vector<char>(65536)};
  std::string read;
  BlockReader reader(in);
  reader.Start(blocks[0].data(), blocks[0].size());
  for (int n = 0;; ++n) {
    bool failed = true;
    const size_t got = reader.Wait(&failed);
    EXPECT_FALSE(failed);
    const bool last = got < blocks[n % 2].size();
    if (!last) reader.Start(blocks[(n + 1) % 2].data(), blocks[(n + 1) % 2].size());
    read.append(blocks[n % 2].data(), got);  // block n, while n + 1 is read
    if (last) break;
  }
  std::fclose(in);
  EXPECT_TRUE(read == content) << read.size() << " bytes of " << content.size();
}

TEST(BlockReader, FailureIsReported) {
#if defined(_WIN32)
  GTEST_SKIP() << "the C runtime takes a read of a write-only stream for its end";
#endif
  // A stream open only for writing refuses every read.
  const std::string path = testing::TempDir() + "block_reader_wo";
  FILE* out = std::fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  char block[16];
  BlockReader reader(out);
  reader.Start(block, sizeof block);
  bool failed = false;
  EXPECT_EQ(reader.Wait(&failed), 0u);
  EXPECT_TRUE(failed);
  std::fclose(out);
  std::remove(path.c_str());
}

TEST(BlockWriter, FailureIsReportedAtTheNextCall) {
  // A stream open only for reading refuses every write.
  const std::string path = testing::TempDir() + "block_writer_ro";
  FILE* make = std::fopen(path.c_str(), "wb");
  ASSERT_NE(make, nullptr);
  std::fclose(make);
  FILE* in = std::fopen(path.c_str(), "rb");
  ASSERT_NE(in, nullptr);
  std::setvbuf(in, nullptr, _IONBF, 0);
  const char block[] = "1,abc\n";
  {
    BlockWriter writer(in);
    EXPECT_TRUE(writer.Submit(block, 6));   // its fate is not known yet
    EXPECT_FALSE(writer.Submit(block, 6));  // the first one failed
    EXPECT_FALSE(writer.Submit(block, 6));
    EXPECT_FALSE(writer.Finish());
  }
  {
    BlockWriter writer(in);
    EXPECT_TRUE(writer.Submit(block, 6));
    EXPECT_FALSE(writer.Finish());
  }
  std::fclose(in);
  std::remove(path.c_str());
}

#if defined(__linux__)
TEST(BlockWriter, NothingIsWrittenAfterAFailedBlock) {
  // A stream that takes 2.5 blocks: the third block is cut, the fourth and
  // fifth must not be written into what is left.
  char memory[250 + 1] = {};
  FILE* out = fmemopen(memory, 250, "w");
  ASSERT_NE(out, nullptr);
  std::setvbuf(out, nullptr, _IONBF, 0);
  std::vector<char> blocks[2] = {std::vector<char>(100), std::vector<char>(100)};
  std::string expected;
  std::string cut;
  {
    BlockWriter writer(out);
    std::vector<bool> accepted;
    for (int n = 0; n < 5; ++n) {
      std::vector<char>& block = blocks[n % 2];
      const std::string text = Fill(&block, n);
      if (n < 2) expected += text;
      if (n == 2) cut = text;
      accepted.push_back(writer.Submit(block.data(), block.size()));
    }
    EXPECT_EQ(accepted, (std::vector<bool>{true, true, true, false, false}));
    EXPECT_FALSE(writer.Finish());
  }
  std::fclose(out);
  EXPECT_EQ(std::string(memory, 200), expected);
  // Whatever of the cut block landed is its own start, nothing later.
  const std::string tail(memory + 200);
  EXPECT_EQ(tail, cut.substr(0, tail.size()));
}
#endif

}  // namespace
