// The clock of the busy waits on the real system, and the run's allowance for them. The unit
// tests link a simulated clock in place of this file.
#include "platform/Platform.h"

namespace
{
BusySpent g_busySpent = {0, 0};
}

BusySpent& BusySpentByRun() { return g_busySpent; }

ULONGLONG BusyClockNow() { return ::GetTickCount64(); }

void BusyWaitForMessages(DWORD milliseconds)
{
    // cppcheck-suppress nullPointer ; with no handles to wait on, the handle array may be null
    ::MsgWaitForMultipleObjectsEx(0, nullptr, milliseconds, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

void BusySleep(DWORD milliseconds) { ::Sleep(milliseconds); }
