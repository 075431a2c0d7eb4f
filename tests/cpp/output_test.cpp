// Progress lines collected and written together.
#include "server/io/output.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "case_printer.h"
#include "io_test_support.h"

namespace velto::server::io {
namespace {

using velto::testing::PrintTo;

using Writes = std::vector<std::string>;
using testing::WriteRecorder;

TEST(ProgressLinesTest, WritesTheLinesCollectedInOneWriteAtEachFlush) {
  WriteRecorder recorder;
  ProgressLines lines(recorder.write_end.get());
  lines.flush();  // nothing collected: no write
  lines.add({"Found frame ! ", "1"});
  lines.add({"running action"});
  lines.flush();
  lines.flush();
  lines.add_number("Received size : ", 0);
  lines.add({"No key ", "Joystick_4", " found"});
  lines.add({""});
  lines.add_number("n = ", UINT64_MAX);
  lines.flush();
  EXPECT_EQ(recorder.rest(),
            (Writes{"Found frame ! 1\nrunning action\n",
                    "Received size : 0\nNo key Joystick_4 found\n\nn = 18446744073709551615\n"}));
}

TEST(ProgressLinesTest, WritesWhatIsLeftWhenDestroyed) {
  WriteRecorder recorder;
  { ProgressLines(recorder.write_end.get()).add({"done"}); }
  EXPECT_EQ(recorder.rest(), Writes{"done\n"});
}

// Lines that do not fit beside those collected: each write holds whole lines only, in order.
struct OverflowCase {
  std::string name;
  std::vector<std::size_t> line_sizes;  // each line's length without its line feed
  std::vector<std::size_t> write_sizes;
};

class ProgressLinesOverflowTest : public ::testing::TestWithParam<OverflowCase> {};

TEST_P(ProgressLinesOverflowTest, CutsWritesBetweenLines) {
  const auto& c = GetParam();
  WriteRecorder recorder;
  std::string all;
  {
    ProgressLines lines(recorder.write_end.get());
    char letter = 'a';
    for (std::size_t size : c.line_sizes) {
      const std::string line(size, letter++);
      lines.add({line});
      all += line + "\n";
    }
  }
  const Writes writes = recorder.rest();
  std::string joined;
  std::vector<std::size_t> sizes;
  for (const auto& w : writes) {
    joined += w;
    sizes.push_back(w.size());
    EXPECT_EQ(w.back(), '\n');
  }
  EXPECT_EQ(joined, all);
  EXPECT_EQ(sizes, c.write_sizes);
}

constexpr std::size_t kCap = ProgressLines::kCapacity;

const std::vector<OverflowCase> kOverflowCases = {
    {"FillsExactly", {kCap / 2 - 1, kCap / 2 - 1}, {kCap}},
    {"OneByteOver", {kCap / 2 - 1, kCap / 2}, {kCap / 2, kCap / 2 + 1}},
    {"LineOfExactlyTheCapacity", {10, kCap - 1, 10}, {11, kCap, 11}},
    {"LineLongerThanTheCapacity", {10, kCap, 10}, {11, kCap + 1, 11}},
    {"VeryLongLine", {5 * kCap}, {5 * kCap + 1}},
};

INSTANTIATE_TEST_SUITE_P(Capacity, ProgressLinesOverflowTest, ::testing::ValuesIn(kOverflowCases),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace velto::server::io
