#include "frame_trace.h"
#include "journal.h"
#include "single_instance.h"
#include "widget.h"

#include <QApplication>

#include <csignal>

int main(int argc, char *argv[])
{
#ifdef SIGXFSZ
    // A file size limit must fail the journal's write that meets it, not
    // kill the window with a card half written. Windows has no such signal.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    QApplication app(argc, argv);
    SingleInstance instance(QStringLiteral("QuendelWriteCard"));
    if (!instance.claim())
        return 0;
    // --trace FILE: every report to and from the reader, for support. Only
    // once this is the window that runs, so that a second start leaves the
    // first one's trace alone.
    const QStringList args = app.arguments();
    const int trace = args.indexOf(QStringLiteral("--trace"));
    QString error;
    if (!trace_start(trace > 0 ? args.value(trace + 1) : QString(),
                     QStringLiteral("QuendelWriteCard " QUENDEL_VERSION), {default_journal_path()}, error))
        qWarning("cannot write the trace %s: %s", qUtf8Printable(args.value(trace + 1)), qUtf8Printable(error));
    Widget window;
    instance.setWindow(&window);
    window.show();
    return app.exec();
}
