// The program's entry: a silent GUI-subsystem process whose whole behaviour is the removal run.
#include <windows.h>

#include "removal/RemovalRun.h"

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int /*show*/)
{
    RemovalRun();
}
