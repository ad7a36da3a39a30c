#include "single_instance.h"
#include "widget.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    SingleInstance instance(QStringLiteral("QuendelWriteCard"));
    if (!instance.claim())
        return 0;
    Widget window;
    instance.setWindow(&window);
    window.show();
    return app.exec();
}
