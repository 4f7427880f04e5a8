#ifndef PS_SYSTEMTRUST_H
#define PS_SYSTEMTRUST_H

#include "bundledcertificate.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>
#include <optional>

namespace Ps {

// A bundled root as the trust needs it, read once: its facts (both
// thumbprints) and the two encodings the targets write.
struct TrustRoot
{
    BundledCertificate certificate;
    QByteArray der;
    QByteArray pem;
};

// The root read from its bytes (DER or PEM), the facts given kept and those
// missing taken from the reading; none when the bytes are no certificate.
std::optional<TrustRoot> readTrustRoot(const QByteArray &bytes, BundledCertificate facts = {});

// A place beyond the trust source (a browser's policy, Java's keystore) that
// did not take a change, and why.
struct UnreachedTarget
{
    QString id; // as in TrustTargetState
    QString why;
};

// What became of an update of the system's own trust.
struct TrustOutcome
{
    enum Kind {
        Updated,
        Unchanged,     // everything of ours was in place already: nothing written, nothing run
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
    // The targets that did not take the change; the others went ahead.
    QVector<UnreachedTarget> unreached;
};

// One place on this machine that the roots must reach, as --check reports it.
struct TrustTargetState
{
    QString id; // "bundle", "firefox", "chromium", "chrome", "java"
    bool holds; // holds every root asked about (after a removal: is asked about none)
};

// The operating system's own trust, beside our "ROOT" store: on Windows that
// store is the system trust already, and this does not exist; elsewhere the
// distribution's local trust source, which its own tool turns into what every
// TLS client reads, and the clients that read something else (browsers'
// policies, Java's keystore). Only roots go there: intermediates are no trust
// anchors.
class SystemTrust
{
public:
    virtual ~SystemTrust() = default;

    // The distribution family found, or an empty string.
    virtual QString family() const = 0;
    // Makes the trust source and every other target on this machine hold
    // these roots, writing only files of ours and only where their bytes
    // differ, and hold none of the retired ones (known by their thumbprints;
    // the SHA-256 may be unknown, then empty); withdraw takes ours away
    // again, for these roots and the retired ones. Either is finished by one
    // refresh.
    virtual TrustOutcome place(const QVector<TrustRoot> &roots, const QVector<BundledCertificate> &retired = {}) = 0;
    virtual TrustOutcome withdraw(const QVector<TrustRoot> &roots,
                                  const QVector<BundledCertificate> &retired = {}) = 0;
    // Whether our file for this root is in the trust source.
    virtual bool holds(const TrustRoot &root) const = 0;
    // Each target present on this machine, and whether it holds these roots.
    virtual QVector<TrustTargetState> check(const QVector<TrustRoot> &roots) const = 0;
    // What the last place or withdraw left to do: the distribution's refresh
    // when our files there changed (after a removal, the one that also drops
    // links to removed files), then the keystores that the refresh is meant to
    // feed; nothing when nothing changed. Waited for, or run in the
    // background with done called on this thread at the end.
    virtual TrustOutcome refresh() = 0;
    virtual void refreshInBackground(std::function<void(const TrustOutcome &)> done) = 0;
};

// The step as this build has it: none when the build leaves it off (the
// default) and on Windows; otherwise the machine's own trust.
std::unique_ptr<SystemTrust> systemTrustForThisMachine();

} // namespace Ps

#endif
