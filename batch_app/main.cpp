#include "batch_window.h"
#include "single_instance.h"

#include <QApplication>

#include <csignal>

int main(int argc, char *argv[])
{
#ifdef SIGXFSZ
    // A file size limit must fail the journal's write that meets it, not
    // kill the batch with a card half written. Windows has no such signal.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    QApplication app(argc, argv);
    SingleInstance instance(QStringLiteral("QuendelBatch"));
    if (!instance.claim())
        return 0;
    BatchWindow window;
    instance.setWindow(&window);
    window.show();
    return app.exec();
}
