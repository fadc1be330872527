// The fast line splitter and writer against the literal model of the windowed
// line-end rule.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "flip.h"
#include "support/flip_model.h"

namespace {

using flip_model::kWindow;
using flip_model::model;
using flip_model::Outcome;

Outcome converter(const std::string &in) {
  Outcome result;
  result.too_long_line = nlflip::find_too_long_line(in.data(), in.size());
  if (result.too_long_line == 0) {
    EXPECT_TRUE(nlflip::write_flipped(in.data(), in.size(), [&](const char *block, std::size_t n) {
      result.output.append(block, n);
      return true;
    }));
  }
  return result;
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

TEST(Flip, AgreesWithTheModelOnChosenInputs) {
  const std::string w(kWindow - 1, 'w');
  const std::vector<std::string> inputs = {
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
      std::string(kWindow, '\0'),
      std::string(kWindow - 1, '\0'),
      std::string(3 * kWindow, '\r'),
      std::string(3 * kWindow, '\n'),
      w + "\n",
      w + "x\n",
      w + "\r\n",
      w + "\r\r\n",
      w + "\r",
      w + "x",
      w + "xy",
      "a\r" + w + "\n",
      "a\r" + w + "xy\n",
      std::string(kWindow, 'q') + "\r\n",
  };
  for (const auto &in : inputs) {
    EXPECT_EQ(converter(in), model(in)) << "input of " << in.size() << " bytes";
  }
}

TEST(Flip, AgreesWithTheModelOnGeneratedInputs) {
  std::mt19937 random(20261207);
  for (int i = 0; i < 400; ++i) {
    const std::string in = i % 2 == 0 ? lines_around_window(random) : random_bytes(random);
    ASSERT_EQ(converter(in), model(in)) << "case " << i << ", " << in.size() << " bytes";
  }
}

TEST(Flip, WritesLargeInputsAcrossManyBlocks) {
  std::mt19937 random(7);
  std::string in;
  while (in.size() < 5'000'000) {
    in.append(random() % 120, 'm');
    in += "\n\r\0"[random() % 3];
  }
  std::vector<std::size_t> blocks;
  std::string out;
  ASSERT_TRUE(nlflip::write_flipped(in.data(), in.size(), [&](const char *block, std::size_t n) {
    blocks.push_back(n);
    out.append(block, n);
    return true;
  }));
  EXPECT_GT(blocks.size(), 4U);
  EXPECT_EQ(out, model(in).output);
}

TEST(Flip, StopsWhenABlockCannotBeWritten) {
  const std::string in(3'000'000, '\n');
  int calls = 0;
  EXPECT_FALSE(nlflip::write_flipped(in.data(), in.size(), [&](const char *, std::size_t) {
    ++calls;
    return false;
  }));
  EXPECT_EQ(calls, 1);
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
    std::string buffer = c.line + '#';
    buffer.resize(nlflip::swap_eol(buffer.data(), c.line.size()));
    EXPECT_EQ(buffer, c.toggled);
  }
}

}  // namespace
