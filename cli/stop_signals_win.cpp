#include "stop_signals.h"

#include <windows.h>

namespace {

// One for the process: a late handler may still wait on it.
HANDLE batchFinished = nullptr;

// The console's handler runs on a thread of its own.
BOOL WINAPI requestStopFromConsole(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        acknowledge_stop();
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // Windows ends the process as soon as this returns (or after a few
        // seconds): hold it until the card in hand is finished and journaled.
        acknowledge_stop();
        WaitForSingleObject(batchFinished, INFINITE);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

struct StopSignals::Handling {};

StopSignals::StopSignals()
{
    clear_stop();
    if (!batchFinished)
        batchFinished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(batchFinished);
    SetConsoleCtrlHandler(requestStopFromConsole, TRUE);
}

StopSignals::~StopSignals()
{
    // A closing console may end the process now. First, for Windows holds
    // its console lock while a handler runs, which removing the handler
    // waits for.
    SetEvent(batchFinished);
    SetConsoleCtrlHandler(requestStopFromConsole, FALSE);
}
