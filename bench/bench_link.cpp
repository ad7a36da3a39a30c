// One transaction through the reader link beside the bare hidapi pair it is
// made of, on the same virtual reader: the difference is the link's own work
// (frame, checksum, checks, and the drain of stale answers). Each also counts
// the heap allocations per transaction; the virtual reader makes some of its
// own, which the bare pair shows.
#include "alloc_count.h"
#include "reader.h"
#include "virtual_reader.h"

#include <benchmark/benchmark.h>

namespace vr = virtual_reader;

namespace {

const char kPath[] = "/dev/hidraw-bench-link";
const unsigned char kHeartbeatReport[kReportSize] = {0x01, 0xD1, 0x02, 0x00, 0x6E, 0xD2};

// A virtual reader, plugged and opened as the window would.
class OpenReader {
public:
    OpenReader() : mReader(vr::plug({kPath, L"Maker", L"Card Reader", L"1", 0x0100})) { reader_open(kPath); }
    ~OpenReader()
    {
        reader_close();
        vr::unplugAll();
    }
    bool isOpen() const { return reader_handle != nullptr; }
    // The reader records every report; forgetting them keeps its memory flat.
    void forgetReports() { mReader.clearReceived(); }

private:
    vr::Reader &mReader;
};

void countAllocations(benchmark::State &state, std::uint64_t before)
{
    state.counters["allocs"] = benchmark::Counter(double(alloc_count::allocations() - before),
                                                  benchmark::Counter::kAvgIterations);
}

void BM_BareHidPair(benchmark::State &state)
{
    OpenReader reader;
    if (!reader.isOpen()) {
        state.SkipWithError("the virtual reader did not open");
        return;
    }
    unsigned char answer[kReportSize];
    const std::uint64_t before = alloc_count::allocations();
    for (auto _ : state) {
        reader.forgetReports();
        if (hid_write(reader_handle, kHeartbeatReport, kReportSize) <= 0
            || hid_read_timeout(reader_handle, answer, kReportSize, kReadTimeoutMs) <= 0) {
            state.SkipWithError("the bare pair failed");
            break;
        }
        benchmark::DoNotOptimize(answer);
    }
    countAllocations(state, before);
}
BENCHMARK(BM_BareHidPair);

void BM_ReaderTransaction(benchmark::State &state)
{
    OpenReader reader;
    if (!reader.isOpen()) {
        state.SkipWithError("the virtual reader did not open");
        return;
    }
    const std::uint64_t before = alloc_count::allocations();
    for (auto _ : state) {
        reader.forgetReports();
        if (reader_cmd_heartbeat() != 0) {
            state.SkipWithError("the heartbeat failed");
            break;
        }
    }
    countAllocations(state, before);
}
BENCHMARK(BM_ReaderTransaction);

}  // namespace
