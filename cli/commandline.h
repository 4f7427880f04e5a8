#ifndef PS_COMMANDLINE_H
#define PS_COMMANDLINE_H

#include "verbreport.h"

#include <QStringList>

class QTextStream;

namespace Ps {

// What a verb's exit code means.
enum ExitCode { Success = 0, NotAll = 1, Usage = 2, NoRights = 3 };
int exitCodeOf(VerbReport::Ending ending);

// A verb's report as the command line prints it: warnings on err, its lines
// (or with json its document) on out. Answers the exit code.
int printReport(QTextStream &out, QTextStream &err, const VerbReport &report, bool json);

// Which program runs the verbs: the window program opens its window when it is
// given no option; the command-line program (what servers install, Qt Core
// only) has no window and asks for a verb instead.
enum class Program { Window, CommandLineOnly };

// The face without a window, for deployment engines: --install, --check,
// --remove, each with --json on request. Prints to standard output (usage
// errors to standard error) and returns the exit code:
// 0 every bundled certificate is in its store afterwards (--remove: none is),
// 1 at least one is not, 2 usage error, 3 the stores cannot be written.
int runCommandLine(const QStringList &arguments, QTextStream &out, QTextStream &err, Program program);

// A whole process of the verbs: the console, a QCoreApplication (no display,
// no widget), UTF-8 streams, and the exit code to return from main.
int commandLineMain(int argc, char *argv[], Program program);

} // namespace Ps

#endif
