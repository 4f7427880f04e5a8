#ifndef PS_CONSOLE_H
#define PS_CONSOLE_H

namespace Ps {

// On Windows the program is a GUI-subsystem executable and starts without a
// console: when its output goes nowhere, it borrows the console of the
// process that started it, so a person at a prompt sees the lines. Output
// already redirected (to a pipe or a file, as deployment engines do) stays
// where it is. Elsewhere there is nothing to do.
void attachParentConsole();

} // namespace Ps

#endif
