// The cost of the serving thread's own work per frame: its progress lines and the frame
// assembly, so that dispatch timings measured from Python can be taken apart.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <string_view>

#include "server/io/connection.h"
#include "server/io/frame_assembler.h"
#include "server/io/output.h"
#include "server/io/unique_fd.h"

namespace {

using velto::server::io::FrameAssembler;
using velto::server::io::FrameDecoder;
using velto::server::io::ProgressLines;
using velto::server::io::UniqueFd;

// Where the benchmarks write; declared before the lines that write to it, so it is closed
// after their last flush.
UniqueFd dev_null() { return UniqueFd(::open("/dev/null", O_WRONLY | O_CLOEXEC)); }

// The lines of one dispatched frame, each in a write of its own: what the serving thread
// wrote before it collected them, kept as the reference.
void BM_ProgressLinesPerFrameOneWriteEach(benchmark::State& state) {
  const UniqueFd out = dev_null();
  for (auto _ : state) {
    for (std::string_view line :
         {"Found frame ! 1\n", "running action\n", "after function\n", "done\n"}) {
      benchmark::DoNotOptimize(::write(out.get(), line.data(), line.size()));
    }
  }
}
BENCHMARK(BM_ProgressLinesPerFrameOneWriteEach);

// The lines of one frame of a burst, as the serving loop and the dispatch write them: the
// lines after a handler call go out with those before the next one.
void BM_ProgressLinesPerFrame(benchmark::State& state) {
  const UniqueFd out = dev_null();
  ProgressLines lines(out.get());
  for (auto _ : state) {
    lines.add_number("Found frame ! ", 1);
    lines.add({"running action"});
    lines.flush();  // before the handler call
    lines.add({"after function"});
    lines.add({"done"});
  }
}
BENCHMARK(BM_ProgressLinesPerFrame);

// The lines of a frame that arrives alone: its read's line and those before the call in one
// write, those after it in another before the next read waits.
void BM_ProgressLinesPerLoneFrame(benchmark::State& state) {
  const UniqueFd out = dev_null();
  ProgressLines lines(out.get());
  for (auto _ : state) {
    lines.add_number("Received size : ", 18);
    lines.add_number("Found frame ! ", 1);
    lines.add({"running action"});
    lines.flush();
    lines.add({"after function"});
    lines.add({"done"});
    lines.flush();
  }
}
BENCHMARK(BM_ProgressLinesPerLoneFrame);

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

// The same through the FrameDecoder interface, made in another file, as the serving loop
// calls it: what the virtual calls cost.
void BM_AssembleBurstOf50ThroughDecoder(benchmark::State& state) {
  const std::string one("\x92\x01\x81\xacToggleButton\x91\xc3", 18);
  std::string burst;
  for (int i = 0; i < 50; ++i) burst += one;
  const std::unique_ptr<FrameDecoder> decoder = velto::server::io::make_frame_assembler();
  for (auto _ : state) {
    decoder->append(burst.data(), burst.size());
    int frames = 0;
    while (std::holds_alternative<velto::base::Frame>(decoder->next())) ++frames;
    benchmark::DoNotOptimize(frames);
  }
  state.SetItemsProcessed(state.iterations() * 50);
}
BENCHMARK(BM_AssembleBurstOf50ThroughDecoder);

}  // namespace

BENCHMARK_MAIN();
