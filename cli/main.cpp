#include "quendel_card.h"

#include <QCoreApplication>

#include <hidapi.h>

#include <csignal>
#include <cstdio>

int main(int argc, char *argv[])
{
#ifndef _WIN32
    // A closed stdout or a file size limit must fail the write that meets
    // it, not kill the program between a card and its journal row.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const int status = run_quendel_card(app.arguments(), out, err);
    hid_exit();
    return status;
}
