// vyr-bundle-check [--require-name-constraints] <bundle folder> [<output folder> <fallback icon>]
// Checks a bundle folder before anything is built from it: one line per
// finding on standard error, exit 1 when any is an error. Given an output
// folder, also writes the resource list the program compiles in (vyr.qrc) and
// the table of the certificates' facts (bundlefacts.cpp), each only when its
// content changes, so that a build that changed nothing rebuilds nothing.
#include "bundlecheck.h"
#include "filewrite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <cstdio>
#include <cstring>

namespace {

QByteArray escaped(const QString &text)
{
    return text.toHtmlEscaped().toUtf8();
}

// Absolute paths under the names the program opens (:/Cert/<name>,
// :/Json/Settings.json, :/Images/vyr.ico).
QByteArray resourceList(const QString &folder, const QVector<Ps::BundledCertificate> &facts, const QString &icon)
{
    const QDir bundle(QFileInfo(folder).absoluteFilePath());
    QByteArray qrc("<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n    <qresource prefix=\"/\">\n");
    const auto entry = [&](const QString &alias, const QString &path) {
        qrc += "        <file alias=\"" + escaped(alias) + "\">" + escaped(path) + "</file>\n";
    };
    for (const Ps::BundledCertificate &each : facts)
        entry(QStringLiteral("Cert/") + each.name, bundle.filePath(QStringLiteral("Cert/") + each.name));
    entry(QStringLiteral("Json/Settings.json"), bundle.filePath(QStringLiteral("Json/Settings.json")));
    const QString ownIcon = bundle.filePath(QStringLiteral("Images/vyr.ico"));
    entry(QStringLiteral("Images/vyr.ico"), QFileInfo::exists(ownIcon) ? ownIcon : QFileInfo(icon).absoluteFilePath());
    return qrc + "    </qresource>\n</RCC>\n";
}

} // namespace

int main(int argc, char *argv[])
{
    QTextStream err(stderr);
    // An organisation that wants every root limited to its own names makes an
    // unconstrained one stop the build.
    const bool requireNameConstraints = argc > 1 && std::strcmp(argv[1], "--require-name-constraints") == 0;
    if (requireNameConstraints) {
        --argc;
        ++argv;
    }
    if (argc != 2 && argc != 4) {
        err << "usage: vyr-bundle-check [--require-name-constraints] <bundle folder> [<output folder> <fallback icon>]\n";
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const Ps::BundleCheck check = Ps::checkBundle(folder, std::time(nullptr), requireNameConstraints);
    for (const Ps::Finding &finding : check.findings) {
        err << QDir(folder).filePath(finding.file)
            << (finding.severity == Ps::Finding::Error ? ": error: " : ": warning: ") << finding.reason << '\n';
    }
    if (check.failed())
        return 1;
    if (argc == 4) {
        const QDir out(QString::fromLocal8Bit(argv[2]));
        if (!out.mkpath(QStringLiteral("."))
            || Ps::writeIfDifferent(out.filePath(QStringLiteral("vyr.qrc")),
                                    resourceList(folder, check.facts, QString::fromLocal8Bit(argv[3])))
                   == Ps::Write::Failed
            || Ps::writeIfDifferent(out.filePath(QStringLiteral("bundlefacts.cpp")), Ps::factsSource(check.facts))
                   == Ps::Write::Failed) {
            err << out.path() << ": error: the resource list and the facts could not be written\n";
            return 1;
        }
    }
    return 0;
}
