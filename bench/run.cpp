// The installation run in process, as a click starts it, against the build's
// stores: "first" empties them before, "repeat" runs twice and times the
// second. Prints microseconds. Usage: bench_run first|repeat
#include "mainview.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QWindow>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    if (argc != 2)
        return 2;
    Ps::MainView view;
    view.show();
    while (!view.windowHandle() || !view.windowHandle()->isExposed())
        QCoreApplication::processEvents();
    QDir(QStringLiteral(VYR_STORE_ROOT "/ROOT")).removeRecursively();
    QDir(QStringLiteral(VYR_STORE_ROOT "/CA")).removeRecursively();
    if (std::strcmp(argv[1], "repeat") == 0)
        QMetaObject::invokeMethod(&view, "on_btnInstall_clicked");
    QElapsedTimer timer;
    timer.start();
    QMetaObject::invokeMethod(&view, "on_btnInstall_clicked");
    std::printf("%lld\n", static_cast<long long>(timer.nsecsElapsed() / 1000));
    return 0;
}
