// The batch window's event loop while its worker runs a batch: the longest
// time the window could not repaint or take a click. A 1 ms timer ticks on
// the window's thread; the longest gap between two ticks is the stall. The
// virtual reader answers at once and the batch looks for a card every 5 ms,
// not 200: the worker handles cards as fast as it can, each with its two
// journal rows synced to a disk, the worst case for the window's share of
// the machine.
#include "batch_window.h"
#include "virtual_reader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

namespace vr = virtual_reader;

namespace {

constexpr int kCards = 20;

// A blank card laid at every fourth look for one, and lifted two looks on.
// The reader copies its hook for each request: the count lives outside it.
void layCardsInTurn(vr::Reader &reader, int &looks)
{
    looks = 0;
    reader.onRequest = [&reader, &looks](uint8_t command) {
        if (command != 0x10)
            return;
        if (looks % 4 == 0)
            reader.layCard(vr::Card::blank({0xBE, 0x4C, uint8_t(looks >> 10), uint8_t(looks >> 2)}));
        else if (looks % 4 == 2)
            reader.removeCard();
        looks++;
    };
}

void BM_BatchWindowStall(benchmark::State &state)
{
    QTemporaryDir folder;
    double longestMs = 0;
    int looks = 0;
    for (auto _ : state) {
        vr::Reader &reader = vr::plug({"/dev/hidraw-bench-batch", L"Maker", L"Card Reader", L"1", 0x0100});
        layCardsInTurn(reader, looks);
        {
            BatchWindow window(nullptr, folder.filePath("journal.csv"), {5, 1000, 4000});
            window.show();
            auto *start = window.findChild<QPushButton *>(QStringLiteral("btnStart"));
            auto *stop = window.findChild<QPushButton *>(QStringLiteral("btnStop"));
            QElapsedTimer waited;
            waited.start();
            while (!start->isEnabled() && waited.elapsed() < 5000)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
            window.findChild<QLineEdit *>(QStringLiteral("editCount"))->setText(QString::number(kCards));
            QElapsedTimer sinceTick;
            QTimer tick;
            tick.setTimerType(Qt::PreciseTimer);
            QObject::connect(&tick, &QTimer::timeout, [&] {
                longestMs = std::max(longestMs, sinceTick.nsecsElapsed() / 1e6);
                sinceTick.restart();
            });
            start->click();
            sinceTick.start();
            tick.start(1);
            while (!start->isEnabled() || stop->isEnabled())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        }
        vr::unplugAll();
    }
    state.counters["longest_stall_ms"] = longestMs;
    state.counters["cards"] = benchmark::Counter(kCards * state.iterations());
}
BENCHMARK(BM_BatchWindowStall)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
