// The message queue and the end of the process.
#include "platform/Platform.h"

#ifdef BROLENDAVIR_COVERAGE
extern "C" {  // GCC's header declares C functions without saying so
#include <gcov.h>
}
#endif

namespace
{
// A message that posts itself again must not keep the run here for ever.
constexpr int kMaxMessagesPerPump = 10000;
}

void PumpEvents()
{
    MSG message;
    for (int handled = 0; handled < kMaxMessagesPerPump; ++handled)
    {
        if (!::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            return;
        if (message.message == WM_QUIT)
        {
            // Not ours to act on: leave it for whoever reads the queue next.
            ::PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

void EndProcess()
{
#ifdef BROLENDAVIR_COVERAGE
    // ExitProcess skips the C runtime's exit handlers, where the counters would be written.
    __gcov_dump();
#endif
    // Deployment tools read any status but 0 as a failure; the run reports none.
    ::ExitProcess(0);
}
