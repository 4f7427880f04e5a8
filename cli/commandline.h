#ifndef PS_COMMANDLINE_H
#define PS_COMMANDLINE_H

#include <QStringList>

class QTextStream;

namespace Ps {

// The face without a window, for deployment engines: --install, --check,
// --remove, each with --json on request. Prints to standard output (usage
// errors to standard error) and returns the exit code:
// 0 every bundled certificate is in its store afterwards (--remove: none is),
// 1 at least one is not, 2 usage error, 3 the stores cannot be written.
int runCommandLine(const QStringList &arguments, QTextStream &out, QTextStream &err);

} // namespace Ps

#endif
