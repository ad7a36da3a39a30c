// "读卡" and "写卡" through the window's slots on the virtual reader, with the
// transactions each takes. Their debug lines are dropped (see main), so that
// the figures do not depend on where stderr goes. The window keeps no
// journal: its rows are measured apart (bench_journal.cpp), and the
// operator's own journal must not fill with the benchmark's writes.
#include "reader.h"
#include "virtual_reader.h"
#include "widget.h"

#include <QLabel>
#include <QMetaMethod>
#include <QPushButton>

#include <benchmark/benchmark.h>

namespace vr = virtual_reader;

namespace {

const char kPath[] = "/dev/hidraw-bench-window";
const vr::Uid kUid = {0x1A, 0x2B, 0x3C, 0x4D};

// The window connected to a virtual reader with a blank card laid on it.
class ConnectedWindow {
public:
    ConnectedWindow() : mReader(vr::plug({kPath, L"Maker", L"Card Reader", L"1", 0x0100}))
    {
        mReader.layCard(vr::Card::blank(kUid));
        invoke("do_mScanDeviceTmr_timeout()");
        mWidget.findChild<QPushButton *>(QStringLiteral("btnConnect"))->click();
    }
    ~ConnectedWindow()
    {
        reader_close();
        vr::unplugAll();
    }

    bool isConnected() const { return reader_handle != nullptr; }
    QMetaMethod slot(const char *signature) const
    {
        return mWidget.metaObject()->method(mWidget.metaObject()->indexOfSlot(signature));
    }
    void invoke(const char *signature) { slot(signature).invoke(&mWidget, Qt::DirectConnection); }
    void invoke(const QMetaMethod &method) { method.invoke(&mWidget, Qt::DirectConnection); }
    QString tip() const { return mWidget.findChild<QLabel *>(QStringLiteral("lblTip"))->text(); }
    vr::Reader &reader() { return mReader; }

private:
    vr::Reader &mReader;
    Widget mWidget{nullptr, QString()};
};

void countTransactions(benchmark::State &state, int writesBefore)
{
    state.counters["transactions"] = benchmark::Counter(vr::calls().write - writesBefore,
                                                        benchmark::Counter::kAvgIterations);
}

// A blank card: the site key is refused, the transport key opens sector 14,
// block 56 is read. The record stays the same from the second read on.
void BM_ReadWorkflow(benchmark::State &state)
{
    ConnectedWindow window;
    if (!window.isConnected()) {
        state.SkipWithError("the window did not connect");
        return;
    }
    const QMetaMethod read = window.slot("on_btnReadCard_clicked()");
    const int writesBefore = vr::calls().write;
    for (auto _ : state) {
        window.reader().clearReceived();
        window.invoke(read);
    }
    countTransactions(state, writesBefore);
    if (window.tip() != QStringLiteral("读卡成功"))
        state.SkipWithError("the read did not succeed");
}
BENCHMARK(BM_ReadWorkflow)->Unit(benchmark::kMicrosecond);

// A full write of a blank card: block 56 and the move to the site key. The
// card is laid blank again, untimed, before each write.
void BM_WriteWorkflow(benchmark::State &state)
{
    ConnectedWindow window;
    window.invoke("on_btnReadCard_clicked()");
    if (window.tip() != QStringLiteral("读卡成功")) {
        state.SkipWithError("the read before the write did not succeed");
        return;
    }
    const QMetaMethod write = window.slot("on_btnWriteCard_clicked()");
    const vr::Card blank = vr::Card::blank(kUid);
    const int writesBefore = vr::calls().write;
    for (auto _ : state) {
        state.PauseTiming();
        window.reader().layCard(blank);
        window.reader().clearReceived();
        state.ResumeTiming();
        window.invoke(write);
    }
    countTransactions(state, writesBefore);
    if (window.tip() != QStringLiteral("写卡成功"))
        state.SkipWithError("the write did not succeed");
}
BENCHMARK(BM_WriteWorkflow)->Unit(benchmark::kMicrosecond);

}  // namespace
