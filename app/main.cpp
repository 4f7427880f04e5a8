#include "commandline.h"
#include "console.h"
#include "mainview.h"
#include "platform.h"
#include "systemtrust.h"

#include <QApplication>
#include <QTextStream>

// With no argument, the window; with any, the command line, which needs no
// display and creates no widget.
int main(int argc, char *argv[])
{
    if (argc > 1) {
        Ps::attachParentConsole();
        QCoreApplication application(argc, argv);
        QTextStream out(stdout);
        QTextStream err(stderr);
        out.setCodec("UTF-8");
        err.setCodec("UTF-8");
        return Ps::runCommandLine(QCoreApplication::arguments(), out, err);
    }
    QApplication application(argc, argv);
    Ps::Platform::useLayoutFont();
    Ps::MainView window;
    window.setSystemTrust(Ps::systemTrustForThisMachine());
    window.show();
    return application.exec();
}
