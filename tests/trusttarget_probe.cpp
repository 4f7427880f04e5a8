// trusttarget_probe <file-system root> place|withdraw <certificate>...
// The system trust's change against a fake file-system root, its refresh
// left out, for the fault sweep: exit 0 when our files and every target
// present took it, 1 when the change failed, 2 on a usage error.
#include "linuxtrust.h"

#include <QCoreApplication>
#include <QFile>
#include <QStringList>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() < 4 || (arguments[2] != QLatin1String("place") && arguments[2] != QLatin1String("withdraw")))
        return 2;
    QVector<Ps::TrustRoot> roots;
    for (const QString &path : arguments.mid(3)) {
        QFile file(path);
        const std::optional<Ps::TrustRoot> root = file.open(QIODevice::ReadOnly) ? Ps::readTrustRoot(file.readAll()) : std::nullopt;
        if (!root)
            return 2;
        roots.append(*root);
    }
    const std::unique_ptr<Ps::SystemTrust> trust = Ps::makeLinuxTrust(arguments[1], true);
    const Ps::TrustOutcome outcome = arguments[2] == QLatin1String("place") ? trust->place(roots) : trust->withdraw(roots);
    const bool took = (outcome.kind == Ps::TrustOutcome::Updated || outcome.kind == Ps::TrustOutcome::Unchanged)
                      && outcome.unreached.isEmpty();
    return took ? 0 : 1;
}
