#ifndef STOREFIXTURE_H
#define STOREFIXTURE_H

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QVector>

#ifdef VERB_FIXTURE
#include "verbs.h"

#include <windows.h>
#include <wincrypt.h>

#include <QResource>
#endif

// The scratch stores this test build writes, and the test files made for it.
namespace StoreFixture {

inline QString storeRoot()
{
    return QStringLiteral(VYR_STORE_ROOT);
}

inline QString storeFolder(const QString &store)
{
    return storeRoot() + QLatin1Char('/') + store;
}

// The record of what the program added lives above the store root.
inline QString recordFile()
{
    return QFileInfo(storeRoot()).path() + QStringLiteral("/record.json");
}

inline void clearStores()
{
    QDir(storeFolder(QStringLiteral("ROOT"))).removeRecursively();
    QDir(storeFolder(QStringLiteral("CA"))).removeRecursively();
    QFile::remove(recordFile());
}

inline QString testData(const QString &name)
{
    return QStringLiteral(VYR_TEST_DATA) + QLatin1Char('/') + name;
}

inline QString thumbprintOf(const QString &name)
{
    QFile file(testData(name + QStringLiteral(".sha1")));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll().trimmed()) : QString();
}

// What a store folder holds, by name, hidden files included.
inline QStringList storeEntries(const QString &store)
{
    return QDir(storeFolder(store)).entryList(QDir::Files | QDir::Dirs | QDir::System | QDir::Hidden
                                                  | QDir::NoDotAndDotDot,
                                              QDir::Name);
}

// A file-system root of its own under the scratch space, with one family's
// trust source (anchors folder, relative) and a refresh tool (relative) that
// exits with toolExit, or no tool when toolExit is negative.
inline QString fakeTrustRoot(const QString &name, const QStringList &anchors, const QString &tool, int toolExit)
{
    const QString root = QStringLiteral(VYR_TEST_SCRATCH "/trust/") + name;
    QDir(root).removeRecursively();
    for (const QString &folder : anchors)
        QDir(root).mkpath(folder);
    if (toolExit >= 0) {
        QDir(root).mkpath(QFileInfo(root + '/' + tool).path());
        QFile script(root + '/' + tool);
        script.open(QIODevice::WriteOnly);
        script.write("#!/bin/sh\nexit " + QByteArray::number(toolExit) + "\n");
        script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
    }
    return root;
}

#ifdef VERB_FIXTURE
inline QString testBundle(const QString &name)
{
    return QStringLiteral(VYR_TEST_BUNDLES "/") + name + QStringLiteral(".rcc");
}

// Adds a certificate file to a store the way any other program would.
inline bool addForeign(const QString &file, const wchar_t *storeName)
{
    const std::wstring path = (QFileInfo(file).isAbsolute() ? file : testData(file)).toStdWString();
    const void *context = nullptr;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_ALL,
                          CERT_QUERY_CONTENT_FLAG_ALL, 0, nullptr, nullptr, nullptr, nullptr, nullptr, &context))
        return false;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG, storeName);
    const bool added = store && CertAddCertificateContextToStore(store, static_cast<PCCERT_CONTEXT>(context),
                                                                 CERT_STORE_ADD_ALWAYS, nullptr);
    CertCloseStore(store, 0);
    CertFreeCertificateContext(static_cast<PCCERT_CONTEXT>(context));
    return added;
}

inline bool verifiesWithRootStore(const QString &file)
{
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"), {"verify", "-CApath", storeFolder("ROOT"), testData(file)});
    return openssl.waitForFinished() && openssl.exitStatus() == QProcess::NormalExit && openssl.exitCode() == 0;
}

// What the machine went through before a row's verb.
enum Before {
    Nothing = 0,
    FirstRelease = 1 << 0,  // the first release's --install (the shipped bundle less one root, plus two retired)
    Installed = 1 << 1,     // the row's own bundle's --install
    RecordLost = 1 << 2,    // then the record deleted
    RecordGarbled = 1 << 3, // a record that is not ours to read
};

// The certificates of others every row starts with: a foreign root, a root
// that shares the first bundled root's subject (added after the bundle), a
// foreign intermediate.
inline const QVector<std::pair<const char *, const wchar_t *>> foreignCertificates{
    {"other", L"ROOT"}, {"same_subject", L"ROOT"}, {"inter", L"CA"}};

// The machine as a row wants it, with the row's bundle registered in place
// of the compiled-in one (the certificates' bundle "certs" registered by the
// suite); thereBefore is a bundled root someone else put in
// ROOT first. Answers whether it could be made.
inline bool setUpMachine(const QString &settings, int before, const QString &thereBefore)
{
    if (!thereBefore.isEmpty()) {
        const QString copy = QStringLiteral(VYR_TEST_SCRATCH "/before.cer");
        QFile::remove(copy);
        if (!QFile::copy(QStringLiteral(":/Cert/") + thereBefore, copy) || !addForeign(copy, L"ROOT"))
            return false;
    }
    if (before & FirstRelease) {
        if (!QResource::registerResource(testBundle(QStringLiteral("settings_first_release")))
            || Ps::runVerb(Ps::Verb::Install, nullptr).ending != Ps::VerbReport::Ending::AsWanted
            || !QResource::unregisterResource(testBundle(QStringLiteral("settings_first_release"))))
            return false;
    }
    if (!QResource::registerResource(testBundle(settings)))
        return false;
    if ((before & Installed)
        && (Ps::runVerb(Ps::Verb::Install, nullptr).ending == Ps::VerbReport::Ending::AsWanted) != (settings == QLatin1String("settings_shipped")))
        return false;
    if ((before & RecordLost) && !QFile::remove(recordFile()))
        return false;
    if (before & RecordGarbled) {
        QFile record(recordFile());
        if (!record.open(QIODevice::WriteOnly) || record.write("[ROOT]\nnot=ours\n") <= 0)
            return false;
    }
    for (const auto &[file, store] : foreignCertificates) {
        if (!addForeign(QString::fromLatin1(file) + QStringLiteral(".der"), store))
            return false;
    }
    return true;
}

// What a row leaves of others': every foreign certificate where it was, and
// the renumbered hash links still lead OpenSSL to each root.
inline bool othersUntouched()
{
    for (const auto &[file, store] : foreignCertificates) {
        const QString name = QString::fromLatin1(file);
        if (!QFile::exists(storeFolder(QString::fromWCharArray(store)) + '/' + thumbprintOf(name) + ".crt"))
            return false;
    }
    return verifiesWithRootStore(QStringLiteral("same_subject.pem")) && verifiesWithRootStore(QStringLiteral("other.pem"));
}
#endif

#ifdef STORE_PROBE
// The store probe's answer; for a program given first (by its path), its exit code.
inline QString runProbe(QStringList arguments, const QStringList &environment)
{
    QProcess probe;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &variable : environment)
        env.insert(variable.section(QLatin1Char('='), 0, 0), variable.section(QLatin1Char('='), 1));
    probe.setProcessEnvironment(env);
    const bool program = arguments.first().startsWith(QLatin1Char('/'));
    probe.start(program ? arguments.takeFirst() : QStringLiteral(STORE_PROBE), arguments);
    probe.waitForFinished(-1);
    if (probe.exitStatus() == QProcess::CrashExit)
        return QStringLiteral("killed");
    return program ? QString::number(probe.exitCode()) : QString::fromLatin1(probe.readAllStandardOutput()).trimmed();
}
#endif

// A row's expected words: one word count times, or for each of the nine
// shipped certificates.
inline QStringList repeated(int count, const QString &word)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list << word;
    return list;
}

inline QStringList all(const char *word)
{
    return repeated(9, QLatin1String(word));
}

} // namespace StoreFixture

#endif
