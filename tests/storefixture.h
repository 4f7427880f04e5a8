#ifndef STOREFIXTURE_H
#define STOREFIXTURE_H

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>

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

} // namespace StoreFixture

#endif
