#include "console.h"
#include "quendel_card.h"

#include <QCoreApplication>

#include <hidapi.h>

#include <cstdio>

int main(int argc, char *argv[])
{
    console_set_up();
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const int status = run_quendel_card(app.arguments(), out, err);
    hid_exit();
    console_restore();
    return status;
}
