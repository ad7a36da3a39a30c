// The real path: one transaction through the system's hidapi-hidraw on the
// emulated reader node of the end-to-end tests, beside the bare hid_write +
// hid_read_timeout pair it is made of, and the drain's poll alone. Run under
// the node, which answers every heartbeat at once:
//
//   quendel-reader-node -- quendel_bench_node
//
// With `--transactions=N link|bare|drain` it makes N of them and ends, for
// counting system calls (strace -c) without the harness.
#include "reader.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const unsigned char kHeartbeatReport[kReportSize] = {0x01, 0xD1, 0x02, 0x00, 0x6E, 0xD2};
bool gFailed = false;  // a smoke run must notice

bool linkTransaction() { return reader_cmd_heartbeat() == 0; }

bool barePair()
{
    unsigned char answer[kReportSize];
    return hid_write(reader_handle, kHeartbeatReport, kReportSize) > 0
            && hid_read_timeout(reader_handle, answer, kReportSize, kReadTimeoutMs) > 0;
}

// What the link adds before each request when nothing stale waits.
bool drainPoll()
{
    unsigned char stale[kReportSize];
    return hid_read_timeout(reader_handle, stale, kReportSize, 0) == 0;
}

void measure(benchmark::State &state, bool (*step)())
{
    for (auto _ : state) {
        if (!step()) {
            state.SkipWithError("the reader did not answer");
            gFailed = true;
            break;
        }
    }
}

void BM_NodeBarePair(benchmark::State &state) { measure(state, barePair); }
void BM_NodeTransaction(benchmark::State &state) { measure(state, linkTransaction); }
void BM_NodeDrainPoll(benchmark::State &state) { measure(state, drainPoll); }
BENCHMARK(BM_NodeBarePair);
BENCHMARK(BM_NodeTransaction);
BENCHMARK(BM_NodeDrainPoll);

bool openFirstReader()
{
    ReaderDeviceInfo *readers = reader_list_devices();
    const bool opened = readers && reader_open(readers->path) == 0;
    reader_free_devices(readers);
    return opened;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && !std::strncmp(argv[1], "--transactions=", 15)) {
        const int count = std::atoi(argv[1] + 15);
        bool (*step)() = !std::strcmp(argv[2], "bare") ? barePair
                         : !std::strcmp(argv[2], "drain") ? drainPoll : linkTransaction;
        if (!openFirstReader())
            return 1;
        for (int i = 0; i < count; ++i) {
            if (!step())
                return 1;
        }
        reader_close();
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (!openFirstReader()) {
        std::fprintf(stderr, "%s: no reader listed; run it under quendel-reader-node\n", argv[0]);
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    reader_close();
    return gFailed ? 1 : 0;
}
