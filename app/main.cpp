// The program's entry: a silent GUI-subsystem process whose whole behaviour is the removal run.
#include <windows.h>

#include "removal/RemovalRun.h"

// The process starts here, with no C runtime start-up in front: the run needs none (no arguments,
// no static constructors, no exit handlers; it ends the process itself), and leaving it out keeps
// the file small. The stack may come 4-byte aligned on 32-bit Windows.
extern "C" [[noreturn]] __attribute__((force_align_arg_pointer)) void WINAPI ProgramEntry()
{
    RemovalRun();
}

// The conventional entry, for builds that link the C runtime's start-up (a coverage build, whose
// counters are set up by static constructors).
int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int /*show*/)
{
    RemovalRun();
}
