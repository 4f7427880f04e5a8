#include "mainview.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    Ps::MainView window;
    window.show();
    return application.exec();
}
