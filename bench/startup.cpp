// Starts the window and ends at its first expose: as main makes it, or
// (bare) the same widgets on a plain main window, without settings, bundle,
// icon or OpenSSL.
#include <QApplication>
#include <QMainWindow>
#include <QWindow>

#ifdef VYR_BENCH_APP
#include "mainview.h"
#include "platform.h"
#else
#include "mainviewform.h"
#endif

namespace {

class FirstExpose : public QObject
{
protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Expose && static_cast<QWindow *>(watched)->isExposed())
            QCoreApplication::exit(0);
        return false;
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
#ifdef VYR_BENCH_APP
    Ps::Platform::useLayoutFont();
    Ps::MainView window;
#else
    QMainWindow window;
    MainViewForm form;
    form.setupForm(&window);
#endif
    FirstExpose watcher;
    window.winId();
    window.windowHandle()->installEventFilter(&watcher);
    window.show();
    return application.exec();
}
