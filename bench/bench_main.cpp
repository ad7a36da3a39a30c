// Runs the benchmarks in an offscreen QApplication, then sets the reader
// link's transaction beside the bare hidapi pair against its budget. Exits
// non-zero when a benchmark reported an error, or when the link allocates
// per transaction, so that a smoke run notices. Times are only reported:
// they depend on the machine and its load.
#include <QApplication>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

// The link may at most double the bare pair and add under 20 µs, 1 % of the
// two milliseconds a transaction takes on real USB at best; it allocates nothing.
constexpr double kMaxRatio = 2.0;
constexpr double kMaxDifferenceUs = 20.0;

using Run = benchmark::BenchmarkReporter::Run;

class SummaryReporter : public benchmark::BenchmarkReporter {
public:
    explicit SummaryReporter(benchmark::BenchmarkReporter *display) : mDisplay(display) {}

    bool ReportContext(const Context &context) override { return mDisplay->ReportContext(context); }

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (run.error_occurred)
                mFailed = true;
            // With repetitions, the median stands for the benchmark.
            else if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median")
                mRuns[run.run_name.function_name] = run;
        }
        mDisplay->ReportRuns(runs);
    }

    void Finalize() override
    {
        mDisplay->Finalize();
        const auto bare = mRuns.find("BM_BareHidPair");
        const auto link = mRuns.find("BM_ReaderTransaction");
        if (bare != mRuns.end() && link != mRuns.end() && !printLinkSummary(bare->second, link->second))
            mFailed = true;
    }

    bool failed() const { return mFailed; }

private:
    static double microseconds(const Run &run)
    {
        return run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e6;
    }

    static double allocations(const Run &run)
    {
        const auto counter = run.counters.find("allocs");
        return counter == run.counters.end() ? 0.0 : counter->second.value;
    }

    static const char *verdict(bool met) { return met ? "within budget" : "OVER BUDGET"; }

    // False when the link allocates.
    static bool printLinkSummary(const Run &bare, const Run &link)
    {
        const double ratio = microseconds(link) / microseconds(bare);
        const double difference = microseconds(link) - microseconds(bare);
        double extraAllocations = allocations(link) - allocations(bare);
        if (std::fabs(extraAllocations) < 0.0005)
            extraAllocations = 0.0;  // printed as 0.000, not -0.000
        std::fprintf(stderr,
                     "\nreader/ transaction beside the bare hid_write + hid_read_timeout pair:\n"
                     "  ratio %.2f (at most %.0f: %s)\n"
                     "  difference %.3f us (under %.0f us: %s)\n"
                     "  allocations of its own per transaction %.3f (none: %s)\n",
                     ratio, kMaxRatio, verdict(ratio <= kMaxRatio), difference, kMaxDifferenceUs,
                     verdict(difference < kMaxDifferenceUs), extraAllocations,
                     verdict(extraAllocations < 0.5));
        return extraAllocations < 0.5;
    }

    benchmark::BenchmarkReporter *mDisplay;
    std::map<std::string, Run> mRuns;
    bool mFailed = false;
};

void dropDebugLines(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg)
        qt_message_output(type, context, message);
}

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    qInstallMessageHandler(dropDebugLines);

    SummaryReporter reporter(benchmark::CreateDefaultDisplayReporter());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.failed() ? 1 : 0;
}
