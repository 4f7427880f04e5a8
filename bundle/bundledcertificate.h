#ifndef PS_BUNDLEDCERTIFICATE_H
#define PS_BUNDLEDCERTIFICATE_H

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

namespace Ps {

// The two lists of a bundle and the stores they go to: roots to "ROOT",
// intermediates to "CA".
enum class StoreList { Root, Intermediate };

// The store's name as CryptoAPI, the record and every face spell it.
const wchar_t *storeName(StoreList list);
QString storeLabel(StoreList list);
// The list whose store has that name, if any.
std::optional<StoreList> storeListNamed(const QString &label);

// What a root may vouch for, as its name constraints say.
struct NameScope
{
    bool known = false;       // read by the build's check; otherwise nothing is known of it
    bool constrained = false; // it has name constraints; without them it may vouch for any name
    QStringList permitted;    // "DNS:corp.example", "IP:10.0.0.0/255.0.0.0", ...
    QStringList excluded;
};

// A certificate of a bundle, as far as it is known: what the build's check
// read of it, what a run looked up, or what the record kept. Facts not known
// are empty (or invalid, for the dates; -1 for the size).
struct BundledCertificate
{
    StoreList list = StoreList::Root;
    QString name;    // the file name under the bundle's certificate folder
    QString sha1;    // 40 uppercase hex digits: the thumbprint stores key their entries by
    QString sha256;  // 64 uppercase hex digits
    QString subject; // RFC 2253
    QDateTime notBefore; // UTC
    QDateTime notAfter;
    qint64 size = -1; // bytes of the bundled file
    NameScope names;

    // The same certificate in the same store, whatever else is known of it.
    bool sameAs(const BundledCertificate &other) const { return list == other.list && sha1 == other.sha1; }
};

} // namespace Ps

#endif
