// The floor for the benchmark: the least a run against the host must do, creating it twice,
// asking the second instance to quit and letting go of it before the process ends, through the
// same platform layer as the program.
#include <windows.h>

#include "platform/Platform.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    ComApartment apartment;
    AutomationObject host;
    CreateHostApplication(L"Excel.Application", host);
    CreateHostApplication(L"Excel.Application", host);
    CallMember(host.Get(), L"quit");
    host.Reset();
    apartment.Leave();
    EndProcess();
}
