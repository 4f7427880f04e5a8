#ifndef PS_SYSTEMTRUST_H
#define PS_SYSTEMTRUST_H

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

namespace Ps {

// What became of an update of the system's own trust.
struct TrustOutcome
{
    enum Kind {
        Updated,
        NoFamily,      // no known trust source on this machine: nothing written
        NotPrivileged, // only root may change the system trust
        WriteFailed,   // our files in the trust source could not be written or removed
        ToolMissing,   // the distribution's refresh tool is not there
        RefreshFailed, // the refresh ran and failed (exitCode)
    };
    Kind kind = Updated;
    int exitCode = 0;
    QString family;
    QString tool;
};

// The operating system's own trust, beside our "ROOT" store: on Windows that
// store is the system trust already, and this does not exist; elsewhere the
// distribution's local trust source, which its own tool turns into what every
// TLS client reads. Only roots go there: intermediates are no trust anchors.
class SystemTrust
{
public:
    virtual ~SystemTrust() = default;

    // The distribution family found, or an empty string.
    virtual QString family() const = 0;
    // Our file for the certificate with these (DER or PEM) bytes, in the trust
    // source; nothing else there is ever written.
    virtual bool place(const QByteArray &certificate) = 0;
    // Takes our file for that certificate away again; true when one was there.
    virtual bool withdraw(const QByteArray &certificate) = 0;
    virtual bool holds(const QByteArray &certificate) const = 0;
    // The distribution's refresh, run once for all changes: waited for, or
    // run in the background with done called on this thread at the end.
    virtual TrustOutcome refresh() = 0;
    virtual void refreshInBackground(std::function<void(const TrustOutcome &)> done) = 0;
};

// The step as this build has it: none when the build leaves it off (the
// default) and on Windows; otherwise the machine's own trust.
std::unique_ptr<SystemTrust> systemTrustForThisMachine();

} // namespace Ps

#endif
