// The program's unchanged window over a virtual reader, beside the window
// that plugs the reader and lays cards on it.
#include "single_instance.h"
#include "virtual_reader_window.h"
#include "widget.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // A program of its own: it neither blocks nor is blocked by the product.
    SingleInstance instance(QStringLiteral("QuendelWriteCard-demo"));
    if (!instance.claim())
        return 0;
    // Plugs the reader before the program's window starts looking for one.
    VirtualReaderWindow readerWindow;
    // No journal: the operator's own must not fill with the virtual reader's cards.
    Widget window(nullptr, QString());
    instance.setWindow(&window);
    window.show();
    readerWindow.move(window.x() + window.frameGeometry().width() + 16, window.y());
    readerWindow.show();
    return app.exec();
}
