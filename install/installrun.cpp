#include "installrun.h"

#include "bundlerules.h"
#include "queryoutcome.h"
#include "storeimport.h"
#include "storequery.h"
#include "tempentry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <memory>

namespace Ps {
namespace {

using BundleRules::isBareFileName;

Outcome importOutcome(ImportResult result)
{
    switch (result) {
    case ImportResult::Added:
        return Outcome::Added;
    case ImportResult::NotACertificate:
        return Outcome::NotACertificate;
    case ImportResult::StoreUnavailable:
        return Outcome::StoreUnavailable;
    case ImportResult::StoreRefused:
        break;
    }
    return Outcome::StoreRefused;
}

Outcome importFile(const QString &path, const QString &name, StoreList list, InstallObserver &observer)
{
    return importOutcome(
        addCertificateFileToStore(path.toStdWString().c_str(), storeName(list), [&] { observer.importing(name); }));
}

// The import needs a real file. Only a copy this run made is imported: a file
// left at the temporary path by someone else would otherwise be installed in
// its place. Our own earlier copy is removed, a link as a link, never
// followed. Another user's file, link or folder there is left as it is and
// decides nothing: the bytes then go through a copy in a folder of this
// run's own, which only its user can reach, removed after the import.
CertificateResult copyAndImport(const QString &name, const QString &tempDir, StoreList list, InstallObserver &observer)
{
    CertificateResult result{bundledCertificate(list, name), Outcome::NotInBundle};
    const QString sourcePath = bundledFilePath(name);
    if (!QFile::exists(sourcePath))
        return result;
    const QString tempPath = tempDir + QLatin1Char('/') + name;
    if (!someoneElsesEntry(tempPath)) {
        const QFileInfo entry(tempPath);
        if (entry.exists() || entry.isSymLink())
            QFile::remove(tempPath);
        if (QFile::copy(sourcePath, tempPath)) {
            // Copies of bundled files come out read-only; Windows would then
            // refuse the next run's removal, and with it the next run's copy.
            QFile::setPermissions(tempPath, QFile::permissions(tempPath) | QFileDevice::WriteOwner);
            result.outcome = importFile(tempPath, name, list, observer);
            return result;
        }
        // Someone's file may have taken the name since; it decides nothing either.
        if (!someoneElsesEntry(tempPath)) {
            result.outcome = Outcome::CopyFailed;
            return result;
        }
    }
    result.copyLeft = false;
    result.outcome = Outcome::CopyFailed;
    const QTemporaryDir own(tempDir + QStringLiteral("/vyr-cert-installer-XXXXXX"));
    const QString privatePath = own.filePath(name);
    if (own.isValid() && QFile::copy(sourcePath, privatePath))
        result.outcome = importFile(privatePath, name, list, observer);
    return result;
}

using Query = QueryAnswer (*)(const void *, std::size_t, const wchar_t *);
using ThumbprintQuery = QueryAnswer (*)(const std::string &, const wchar_t *);

QVector<CertificateResult> queryAll(const CertificateLists &lists, Query query, ThumbprintQuery byThumbprint,
                                    Outcome found, Outcome notFound)
{
    QVector<CertificateResult> results;
    for (const StoreList list : {StoreList::Root, StoreList::Intermediate}) {
        for (const QString &name : lists.of(list)) {
            CertificateResult result{knownCertificate(list, name), Outcome::UnsafeName};
            // Known from the build, the certificate needs no decoding.
            const bool read = !result.certificate.sha1.isEmpty();
            const std::optional<QByteArray> bytes = read ? std::nullopt : bundledBytes(name);
            if (!read && !bytes) {
                if (isBareFileName(name))
                    result.outcome = Outcome::NotInBundle;
            } else {
                const QueryAnswer answer = read ? byThumbprint(result.certificate.sha1.toStdString(), storeName(list))
                                                : query(bytes->constData(), std::size_t(bytes->size()), storeName(list));
                result.certificate.sha1 = QString::fromStdString(answer.thumbprint);
                result.outcome = outcomeOf(answer.result, found, notFound);
            }
            results.append(result);
        }
    }
    return results;
}

} // namespace

QVector<CertificateResult> installCertificates(const CertificateLists &lists, InstallObserver &observer, bool ourTurn)
{
    QVector<CertificateResult> results;
    if (lists.isEmpty())
        return results;
    // An empty path here (QDir::tempPath() of a missing folder) would put the
    // copies at the file-system root.
    const QString tempDir = QDir::tempPath();
    const bool usable = !tempDir.isEmpty() && QFileInfo(tempDir).isDir();

    for (const StoreList list : {StoreList::Root, StoreList::Intermediate}) {
        const QStringList &names = lists.of(list);
        int succeeded = 0;
        for (int i = 0; i < names.size(); ++i) {
            const QString &name = names.at(i);
            CertificateResult result{bundledCertificate(list, name), Outcome::UnsafeName};
            if (!usable)
                result.outcome = Outcome::NoTemporaryFolder;
            else if (!ourTurn)
                result.outcome = Outcome::Busy;
            else if (isBareFileName(name))
                result = copyAndImport(name, tempDir, list, observer);
            if (result.outcome == Outcome::Added)
                ++succeeded;
            results.append(result);
            observer.progressed(list, i + 1, names.size(), succeeded);
        }
    }
    return results;
}

QVector<CertificateResult> checkCertificates(const CertificateLists &lists)
{
    return queryAll(lists, findCertificateInStore, findThumbprintInStore, Outcome::Present, Outcome::Missing);
}

QVector<CertificateResult> removeCertificates(const CertificateLists &lists)
{
    return queryAll(lists, deleteCertificateFromStore, deleteThumbprintFromStore, Outcome::Removed, Outcome::Absent);
}

bool storesWritable(const CertificateLists &lists)
{
    for (const StoreList list : {StoreList::Root, StoreList::Intermediate}) {
        if (!lists.of(list).isEmpty() && !canOpenStoreForWriting(storeName(list)))
            return false;
    }
    return true;
}

} // namespace Ps
