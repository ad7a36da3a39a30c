// One journal row with its sync, as each "写卡" appends two: the cost is the
// file system's, so it is measured apart from the workflows, in real time,
// since the wait for the disk is most of it. The journal is a fresh file in a
// temporary folder, never the operator's.
#include "journal.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace {

void BM_JournalRow(benchmark::State &state)
{
    QTemporaryDir folder;
    Journal journal;
    QString error;
    if (!folder.isValid() || !journal.open(folder.filePath(QStringLiteral("journal.csv")), error)) {
        state.SkipWithError("the journal did not open");
        return;
    }
    for (auto _ : state) {
        const QStringList row{journal_time(), QStringLiteral("/dev/hidraw-bench-journal"),
                              QStringLiteral("1A2B3C4D"), QStringLiteral("prepared"), QString()};
        if (!journal.append(row, error)) {
            state.SkipWithError("the row was not written");
            break;
        }
    }
}
BENCHMARK(BM_JournalRow)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
