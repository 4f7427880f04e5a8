#ifndef PS_RECORD_H
#define PS_RECORD_H

#include "bundledcertificate.h"

#include <QString>
#include <QVector>

namespace Ps {

// One certificate this program found in a store or put there.
// Of the certificate it keeps the list, the name of the bundled file it came
// from, both thumbprints and the subject.
struct RecordEntry
{
    BundledCertificate certificate;
    bool added; // this program added it; otherwise it was there before

    bool sameCertificate(const RecordEntry &other) const { return certificate.sameAs(other.certificate); }
};

// What this program knows it did to this machine's stores, kept by the
// program itself on the machine (never a file of a package or an MSI
// component, which an upgrade or a purge would take away).
class Record
{
public:
    enum class State {
        None,      // this machine has none: no version that keeps one has run here
        Read,      // possibly empty
        Unreadable,
    };

    static Record load();

    State state() const { return loaded; }
    const QVector<RecordEntry> &entries() const { return held; }
    // Writes these entries in place of the record's, only when they differ.
    // False when it could not be written, and then the record is as it was.
    bool save(const QVector<RecordEntry> &entries);
    // Where it lives, for a person to look: a file or a registry key.
    static QString location();

private:
    Record(State state, QVector<RecordEntry> entries) : loaded(state), held(std::move(entries)) {}

    State loaded;
    QVector<RecordEntry> held;
};

} // namespace Ps

#endif
