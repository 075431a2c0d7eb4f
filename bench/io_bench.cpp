// The cost of the serving thread's own work per frame: its progress lines and the frame
// assembly, so that dispatch timings measured from Python can be taken apart.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "server/io/frame_assembler.h"
#include "server/io/output.h"

namespace {

using velto::server::io::FrameAssembler;
using velto::server::io::print_line;

// The four lines of one dispatched frame, written to /dev/null.
void BM_ProgressLinesPerFrame(benchmark::State& state) {
  const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  for (auto _ : state) {
    print_line("Found frame ! 1", fd);
    print_line("running action", fd);
    print_line("after function", fd);
    print_line("done", fd);
  }
  ::close(fd);
}
BENCHMARK(BM_ProgressLinesPerFrame);

// 50 ToggleButton frames arriving in one read, cut into frames.
void BM_AssembleBurstOf50(benchmark::State& state) {
  const std::string one("\x92\x01\x81\xacToggleButton\x91\xc3", 18);
  std::string burst;
  for (int i = 0; i < 50; ++i) burst += one;
  FrameAssembler assembler;
  for (auto _ : state) {
    assembler.append(burst.data(), burst.size());
    int frames = 0;
    while (std::holds_alternative<velto::base::Frame>(assembler.next())) ++frames;
    benchmark::DoNotOptimize(frames);
  }
  state.SetItemsProcessed(state.iterations() * 50);
}
BENCHMARK(BM_AssembleBurstOf50);

}  // namespace

BENCHMARK_MAIN();
