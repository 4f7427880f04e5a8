#ifndef PS_REPORTRUN_H
#define PS_REPORTRUN_H

#include "fleet.h"

#include <QString>

class QTextStream;

namespace Ps {

struct ReportRun
{
    QString folder;       // the host documents
    QString out;          // where the report's files go; the documents' folder when empty
    QString previous;     // an earlier report's folder, or none
    QString history;      // the history's file, or none
    int trendReports = 90; // how many reports the trend shows, this one with them
    FleetOptions options;
};

// One report: its four files written (each whole under its name, left as
// it was when its bytes are the same), then the report recorded in the
// history. The exit code: the fleet's (0 to 3), or 4 when a file could not be
// written or the history could not be read or recorded; the page is written
// either way but for a file that failed.
int runReport(const ReportRun &run, QTextStream &out, QTextStream &err);

// A host's state in each report the history holds, a line each, oldest
// first: 0, 3 when no report holds the host, 4 when the history cannot be read.
int printStatesOf(const QString &history, const QString &host, QTextStream &out, QTextStream &err);

} // namespace Ps

#endif
