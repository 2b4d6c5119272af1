// The removal run: takes the add-in out of Excel and ends the process.
#pragma once

// Does every step of the run, swallowing each failure, then ends the process; never returns.
[[noreturn]] void RemovalRun();
