// The program's unchanged window over a virtual reader, beside the window
// that plugs the reader and lays cards on it.
#include "virtual_reader_window.h"
#include "widget.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Plugs the reader before the program's window starts looking for one.
    VirtualReaderWindow readerWindow;
    Widget window;
    window.show();
    readerWindow.move(window.x() + window.frameGeometry().width() + 16, window.y());
    readerWindow.show();
    return app.exec();
}
