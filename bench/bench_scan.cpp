// One tick of the reader scan while disconnected, with the system's hidapi
// and no reader attached: it runs on the GUI thread every second.
#include "widget.h"

#include <QComboBox>
#include <QMetaMethod>

#include <benchmark/benchmark.h>

namespace {

void BM_ScanTick(benchmark::State &state)
{
    Widget widget(nullptr, QString());  // no journal: the operator's must stay untouched
    const QMetaMethod tick = widget.metaObject()->method(
            widget.metaObject()->indexOfSlot("do_mScanDeviceTmr_timeout()"));
    for (auto _ : state)
        tick.invoke(&widget, Qt::DirectConnection);
    // A reader that is attached after all shows here; the figure is then not
    // the one of an empty machine.
    state.counters["readers"] = widget.findChild<QComboBox *>(QStringLiteral("comPort"))->count();
}
BENCHMARK(BM_ScanTick)->Unit(benchmark::kMicrosecond);

}  // namespace
