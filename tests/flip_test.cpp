// The streaming converter against the literal model of the windowed line-end
// rule, with chunks of every size that matters.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "flip.h"
#include "flip_case.h"
#include "flip_model.h"
#include "flip_stream.h"
#include "input.h"
#include "platform.h"
#include "seed.h"
#include "stream.h"
#include "temp_dir.h"

namespace {

using flip_model::model;
using flip_model::Outcome;
using nlflip::kWindow;

using flip_stream_support::converted;

// The whole text in one chunk, and in the smallest chunks with reads that
// end anywhere.
Outcome converter(const std::string &in) {
  Outcome whole = converted(in, nlflip::kChunk);
  EXPECT_EQ(converted(in, nlflip::kLookahead, {1, 4099, 7, 65536}), whole);
  return whole;
}

// Lines of chosen lengths around the window size, each with a chosen end.
std::string lines_around_window(std::mt19937 &random) {
  static const char *const ends[] = {"\n", "\r", "\r\n", "", "\n\r"};
  std::uniform_int_distribution<std::size_t> length(kWindow - 3, kWindow + 2);
  std::uniform_int_distribution<std::size_t> end(0, 4);
  std::string text;
  const int lines = std::uniform_int_distribution<int>(1, 4)(random);
  for (int i = 0; i < lines; ++i) {
    text.append(length(random), 'a');
    text += ends[end(random)];
  }
  return text;
}

// Random bytes drawn mostly from line ends, NUL and one letter; the density
// of line ends varies so that long and too long lines occur too.
std::string random_bytes(std::mt19937 &random) {
  const std::size_t size = std::uniform_int_distribution<std::size_t>(0, 60000)(random);
  const double line_end_rate = std::uniform_real_distribution<double>(0.00005, 0.3)(random);
  std::bernoulli_distribution line_end(line_end_rate);
  std::uniform_int_distribution<int> other(0, 3);
  std::string text(size, 'x');
  for (char &c : text) {
    if (line_end(random)) {
      c = random() % 2 == 0 ? '\n' : '\r';
    } else {
      c = "x\0\xFFy"[other(random)];
    }
  }
  return text;
}

// Texts at the edges of the rules for a window of that many characters:
// windows, CR LF pairs cut by them, NULs, lines that end by their CR before
// an LF far away, byte-order marks.
std::vector<std::string> chosen_inputs(std::size_t window = kWindow) {
  const std::string w(window - 1, 'w');
  std::string cr_lines;
  while (cr_lines.size() < 2 * window) {
    cr_lines += "cr\r";
  }
  return {
      "",
      "a",
      "\n",
      "\r",
      "\r\n",
      "\n\r",
      "a\r\nb\n",
      "a\rb\rc",
      "x\ry\n",
      std::string("a\0\nb\0", 5),
      std::string(window, '\0'),
      std::string(window - 1, '\0'),
      std::string(3 * window, '\r'),
      std::string(3 * window, '\n'),
      w + "\n",
      w + "x\n",
      w + "\r\n",
      w + "\r\r\n",
      w + "\r",
      w + "x",
      w + "xy",
      "a\r" + w + "\n",
      "a\r" + w + "xy\n",
      std::string(window, 'q') + "\r\n",
      cr_lines + "\n",
      cr_lines + "\r\n" + cr_lines,
      cr_lines + w + "\r\n",
      w + "\r\n\n\nx\ry\n",
      "\xFF\xFE",
      "\xFE\xFF",
      std::string("\xFF\xFE\0\0a\0\n\0", 8),
      std::string("\0\0\xFE\xFF\0\0\0\n", 8),
  };
}

TEST(Flip, AgreesWithTheModelOnChosenInputs) {
  for (const auto &in : chosen_inputs()) {
    EXPECT_EQ(converter(in), model(in)) << "input of " << in.size() << " bytes";
  }
}

// One seed for every random input of a run.
std::uint32_t run_seed() {
  static const std::uint32_t seed = testsupport::test_seed();
  return seed;
}

std::vector<std::string> generated_inputs() {
  constexpr int kInputs = 400;
  std::mt19937 random(run_seed());
  std::vector<std::string> inputs;
  inputs.reserve(kInputs);
  for (int i = 0; i < kInputs; ++i) {
    inputs.push_back(i % 2 == 0 ? lines_around_window(random) : random_bytes(random));
  }
  return inputs;
}

TEST(Flip, AgreesWithTheModelOnGeneratedInputs) {
  int number = 0;
  for (const std::string &in : generated_inputs()) {
    ASSERT_EQ(converter(in), model(in)) << "case " << number << ", " << in.size() << " bytes";
    ++number;
  }
}

// The fuzzer's seeds, as it reads them: chunk size, read sizes and text.
std::vector<fuzz::FlipCase> fuzz_seeds() {
  std::vector<fuzz::FlipCase> seeds;
  for (const auto &entry : std::filesystem::directory_iterator(NLFLIP_FLIP_SEEDS)) {
    std::ifstream file(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file),
                                          std::istreambuf_iterator<char>()};
    seeds.push_back(fuzz::flip_case(bytes.data(), bytes.size()));
  }
  return seeds;
}

TEST(Flip, EveryKernelSplitsAsTheScalarOne) {
  const std::vector<nlflip::Kernel> kernels = nlflip::available_kernels();
  if (kernels.size() < 2) {
    GTEST_SKIP() << "this processor offers no vector instructions: only the scalar kernel";
  }
  std::vector<fuzz::FlipCase> cases = fuzz_seeds();
  ASSERT_FALSE(cases.empty()) << NLFLIP_FLIP_SEEDS;
  for (const std::string &in : chosen_inputs()) {
    cases.push_back({nlflip::kChunk, {}, in});
    cases.push_back({nlflip::kLookahead, {1, 4099, 7, 65536}, in});
  }
  for (const std::string &in : generated_inputs()) {
    cases.push_back({nlflip::kLookahead, {1, 4099, 7, 65536}, in});
  }
  const char *const names[] = {"scalar", "SSE2", "AVX2"};
  for (const fuzz::FlipCase &c : cases) {
    const auto scalar = converted(c.text, c.chunk, c.reads, nlflip::Kernel::scalar);
    for (std::size_t k = 1; k < kernels.size(); ++k) {
      ASSERT_EQ(converted(c.text, c.chunk, c.reads, kernels[k]), scalar)
          << names[static_cast<int>(kernels[k])] << " kernel, " << c.text.size()
          << " bytes in chunks of " << c.chunk;
    }
  }
}

TEST(Flip, SplitsUtf16InUnitsInBothByteOrders) {
  // Windows of 5000 units, as many bytes as 10000 byte characters.
  std::vector<std::string> texts = chosen_inputs(kWindow / 2);
  const std::vector<std::string> generated = generated_inputs();
  texts.insert(texts.end(), generated.begin(), generated.begin() + 100);
  std::size_t differing = 0;
  for (const std::string &text : texts) {
    for (const bool little_endian : {true, false}) {
      for (const char *odd_byte : {"", "A"}) {
        const std::string in = fuzz::as_utf16(text, little_endian) + odd_byte;
        const Outcome expected = model(in);
        differing += expected != flip_model::model_bytes(in) ? 1U : 0U;
        for (const nlflip::Kernel kernel : nlflip::available_kernels()) {
          ASSERT_EQ(converted(in, nlflip::kChunk, {}, kernel), expected)
              << text.size() << " characters, little-endian " << little_endian;
          ASSERT_EQ(converted(in, nlflip::kLookahead, {1, 4099, 7, 65536}, kernel), expected)
              << text.size() << " characters in small chunks, little-endian " << little_endian;
        }
      }
    }
  }
  EXPECT_GT(differing, texts.size()) << "reading the units as bytes would mostly differ";
}

// The quick test that an existing output's input gets before the prompt, run
// on a real file.
nlflip::LineSearch quick_check(const std::string &text) {
  const testsupport::TempDir dir;
  testsupport::write_file(dir.file("in"), text);
  std::FILE *file = std::fopen(dir.file("in").c_str(), "rb");
  EXPECT_NE(file, nullptr);
  const nlflip::LineSearch found = nlflip::search_too_long_line(file, text.size());
  std::fclose(file);
  return found;
}

nlflip::LineSearch as_search(const Outcome &model) {
  if (model.unsupported) {
    return nlflip::LineSearch::unsupported;
  }
  return model.too_long_line != 0 ? nlflip::LineSearch::too_long : nlflip::LineSearch::fits;
}

TEST(QuickCheck, FindsATooLongLineExactlyWhereTheModelDoes) {
  std::vector<std::string> texts = chosen_inputs();
  const std::vector<std::string> generated = generated_inputs();
  texts.insert(texts.end(), generated.begin(), generated.end());
  for (const std::string &text : chosen_inputs(kWindow / 2)) {
    for (const bool little_endian : {true, false}) {
      texts.push_back(fuzz::as_utf16(text, little_endian));
      texts.push_back(fuzz::as_utf16(text, little_endian) + "A");
    }
  }
  // Runs of line-free bytes of about a window, after lines of every end.
  for (const char *end : {"\n", "\r", "\r\n"}) {
    for (std::size_t run = kWindow - 2; run <= kWindow + 1; ++run) {
      const std::string line_free = std::string(run, 'x').append(end);
      texts.push_back(std::string("a").append(end).append(line_free).append("b"));
      texts.push_back(line_free);
    }
  }
  std::size_t too_long = 0;
  for (const std::string &text : texts) {
    const nlflip::LineSearch expected = as_search(model(text));
    too_long += expected == nlflip::LineSearch::too_long ? 1U : 0U;
    ASSERT_EQ(quick_check(text), expected) << text.size() << " bytes";
  }
  EXPECT_GT(too_long, texts.size() / 10) << "the inputs must hold too long lines too";
}

TEST(Flip, ConvertsLargeInputsAcrossManyChunks) {
  std::mt19937 random(run_seed());
  std::string in;
  while (in.size() < 5'000'000) {
    in.append(random() % 120, 'm');
    in += "\n\r\0"[random() % 3];
  }
  EXPECT_EQ(converted(in, nlflip::kChunk), model(in));
}

// Random LF, CR and CR LF lines of 0 to 120 bytes, exactly size bytes.
std::string lines_of_size(std::size_t size, std::mt19937 &random) {
  std::uniform_int_distribution<std::size_t> length(0, 119);
  static constexpr const char *kEnds[] = {"\n", "\r", "\r\n"};
  std::uniform_int_distribution<std::size_t> end(0, std::size(kEnds) - 1);
  std::string text;
  text.reserve(size);
  while (text.size() < size) {
    text.append(length(random), 'm');
    text += kEnds[end(random)];
  }
  text.resize(size);
  return text;
}

TEST(Flip, SizedSourcesOfEverySizeAroundTheSwitchPoints) {
  // A source of known size is converted by one worker in chunks of at most
  // its size, a large one by two: sizes at and around each switch.
  const std::size_t page = 4096;
  const std::vector<std::size_t> sizes = {
      0,
      1,
      page - 1,
      nlflip::kLookahead - 1,
      nlflip::kLookahead,
      nlflip::kLookahead + 1,
      nlflip::kChunk - 1,
      nlflip::kChunk,
      nlflip::kChunk + 1,
      nlflip::kChunk + page + 1,
      2 * nlflip::kChunk + nlflip::kLookahead,
      nlflip::kTwoWorkerChunk + 1,
      // Where platform::worth_a_second_worker switches, with huge pages and
      // without.
      std::size_t{4} << 20,
      (std::size_t{4} << 20) + 1,
      std::size_t{32} << 20,
      (std::size_t{32} << 20) + 1,
  };
  std::mt19937 random(run_seed());
  for (const std::size_t size : sizes) {
    const std::string in = lines_of_size(size, random);
    const Outcome expected = model(in);
    for (const bool sized : {true, false}) {
      ASSERT_EQ(converted(in, nlflip::kChosenChunk, {}, nlflip::fastest_kernel(), sized), expected)
          << size << " bytes, sized " << sized;
    }
    // Reads that end anywhere, in the smallest chunks.
    ASSERT_EQ(
        converted(in, nlflip::kLookahead, {1, 4099, 7, 65536}, nlflip::fastest_kernel(), true),
        expected)
        << size << " bytes in small reads";
  }
}

TEST(Flip, PageBlocksOfEverySizeAreAlignedAndWhole) {
  // Small blocks come from the C heap, large ones are mapped apart in whole
  // huge pages with the ends cut off: every byte asked for must stay.
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  const std::size_t page = 4096;
  for (const std::size_t size : {std::size_t{1}, page - 1, page, kMiB - 1, kMiB, kMiB + 1,
                                 2 * kMiB - 1, 2 * kMiB, 2 * kMiB + 1, 5 * kMiB + page + 3}) {
    auto *const block = static_cast<unsigned char *>(platform::make_pages(size));
    ASSERT_NE(block, nullptr) << size;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % page, 0U) << size;
    for (std::size_t i = 0; i < size; i += page / 2) {
      block[i] = static_cast<unsigned char>(i / (page / 2));
    }
    block[size - 1] = 0xA5;
    for (std::size_t i = 0; i + 1 < size; i += page / 2) {
      ASSERT_EQ(block[i], static_cast<unsigned char>(i / (page / 2))) << size << " at " << i;
    }
    EXPECT_EQ(block[size - 1], 0xA5) << size;
    platform::free_pages(block, size);
  }
}

TEST(Flip, StopsWhenTheOutputCannotBeWritten) {
  class FailingSink : public nlflip::Sink {
   public:
    bool write(const char * /*data*/, std::size_t /*size*/) override {
      ++calls;
      return false;
    }
    int calls = 0;
  };
  const std::string in(3'000'000, '\n');
  flip_stream_support::MemorySource source(in, {});
  FailingSink sink;
  EXPECT_EQ(nlflip::flip_stream(source, &sink).outcome, nlflip::Converted::Outcome::write_error);
  EXPECT_EQ(sink.calls, 1);
}

TEST(Flip, ReadingFailureStopsAfterWhatWasReadBeforeIt) {
  // Fails where the text ends, after two and a half chunks.
  class FailingSource : public flip_stream_support::MemorySource {
   public:
    FailingSource(const std::string &text, bool ahead) : MemorySource(text, {}), ahead_(ahead) {}
    std::int64_t read(char *buffer, std::size_t size) override {
      const std::int64_t got = MemorySource::read(buffer, size);
      return got == 0 ? -1 : got;
    }
    bool reads_ahead() const override { return ahead_; }

   private:
    bool ahead_;
  };
  std::string in;
  while (in.size() < 5 * nlflip::kChunk / 2) {
    in += "line\n";
  }
  std::string written[2];
  for (const bool ahead : {false, true}) {
    FailingSource source(in, ahead);
    flip_stream_support::StringSink sink;
    EXPECT_EQ(nlflip::flip_stream(source, &sink, nlflip::kChunk).outcome,
              nlflip::Converted::Outcome::read_error)
        << "read ahead: " << ahead;
    written[ahead ? 1 : 0] = sink.text;
  }
  EXPECT_FALSE(written[0].empty());
  EXPECT_TRUE(written[0] == written[1]) << "the lines of the chunks read before are written";
}

TEST(Flip, ChunkThatEndsNoLineLeavesTheBlockInFlightAlone) {
  // The first block is still being written while the other worker reads
  // and converts the second chunk, which ends no line: it must leave the
  // block in flight alone.  The block waits until that chunk has been read.
  constexpr std::size_t kChunkHere = nlflip::kLookahead + 97;
  struct Shared {
    std::mutex mutex;
    std::condition_variable all_read;
    bool read_through = false;
  } shared;
  class NotifyingSource : public flip_stream_support::MemorySource {
   public:
    NotifyingSource(const std::string &text, Shared &shared)
        : MemorySource(text, {}), shared_(shared) {}
    std::int64_t read(char *buffer, std::size_t size) override {
      const std::int64_t got = MemorySource::read(buffer, size);
      read_ += static_cast<std::size_t>(std::max<std::int64_t>(got, 0));
      if (read_ >= 2 * kChunkHere || got == 0) {
        const std::lock_guard<std::mutex> lock(shared_.mutex);
        shared_.read_through = true;
        shared_.all_read.notify_all();
      }
      return got;
    }

   private:
    Shared &shared_;
    std::size_t read_ = 0;
  };
  class WaitingFirstWrite : public nlflip::Sink {
   public:
    explicit WaitingFirstWrite(Shared &shared) : shared_(shared) {}
    bool write(const char *data, std::size_t size) override {
      if (text.empty()) {
        // A worker that waited for this write before it read on would never
        // come: the test fails instead of hanging.
        std::unique_lock<std::mutex> lock(shared_.mutex);
        if (!shared_.all_read.wait_for(lock, std::chrono::minutes(1),
                                       [this] { return shared_.read_through; })) {
          ADD_FAILURE() << "the next chunk was not read while the block was in flight";
        }
      }
      text.append(data, size);
      return true;
    }
    std::string text;

   private:
    Shared &shared_;
  };
  const std::string in = std::string(kWindow - 1, 'w') + "\r" + std::string(387, 'q') + "\n" +
                         std::string(kWindow - 1, 'w') + "\r\nabc\n";
  NotifyingSource source(in, shared);
  WaitingFirstWrite sink(shared);
  ASSERT_EQ(nlflip::flip_stream(source, &sink, kChunkHere).outcome,
            nlflip::Converted::Outcome::done);
  EXPECT_TRUE(sink.text == model(in).output);
}

TEST(Flip, SwapEolTogglesOnlyTheLineEnd) {
  struct Case {
    std::string line;
    std::string toggled;
  };
  const Case cases[] = {
      {"", ""},         {"abc", "abc"}, {"a\n", "a\r\n"}, {"a\r", "a\r\n"},
      {"a\r\n", "a\n"}, {"\r\n", "\n"}, {"\n", "\r\n"},   {"a\rb\n", "a\rb\r\n"},
  };
  for (const auto &c : cases) {
    std::string line = c.line + std::string(nlflip::kSlack, '#');
    std::string out(c.line.size() + 1 + nlflip::kSlack, '\0');
    out.resize(nlflip::swap_eol(line.data(), c.line.size(), out.data()));
    EXPECT_EQ(out, c.toggled);
  }
}

}  // namespace
