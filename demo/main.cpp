// The program's unchanged window over a virtual reader, beside the window
// that plugs the reader and lays cards on it; with --batch, the batch
// window in its place.
#include "batch_window.h"
#include "single_instance.h"
#include "virtual_reader_window.h"
#include "widget.h"

#include <QApplication>

#include <memory>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const bool batch = app.arguments().contains(QStringLiteral("--batch"));
    // A program of its own: it neither blocks nor is blocked by the product.
    SingleInstance instance(batch ? QStringLiteral("QuendelBatch-demo") : QStringLiteral("QuendelWriteCard-demo"));
    if (!instance.claim())
        return 0;
    // Plugs the reader before the program's window starts looking for one.
    VirtualReaderWindow readerWindow;
    // No journal: the operator's own must not fill with the virtual reader's cards.
    std::unique_ptr<QWidget> window;
    if (batch)
        window = std::make_unique<BatchWindow>(nullptr, QString());
    else
        window = std::make_unique<Widget>(nullptr, QString());
    instance.setWindow(window.get());
    window->show();
    readerWindow.move(window->x() + window->frameGeometry().width() + 16, window->y());
    readerWindow.show();
    return app.exec();
}
