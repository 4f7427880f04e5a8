#include "commandline.h"
#include "mainview.h"
#include "platform.h"
#include "systemtrust.h"

#include <QApplication>

// With no argument, the window; with any, the command line, which needs no
// display and creates no widget.
int main(int argc, char *argv[])
{
    if (argc > 1)
        return Ps::commandLineMain(argc, argv, Ps::Program::Window);
    Ps::Platform::scaleWithDisplay();
    QApplication application(argc, argv);
    Ps::Platform::useLayoutFont();
    Ps::MainView window;
    window.setSystemTrust(Ps::systemTrustForThisMachine());
    window.show();
    return application.exec();
}
