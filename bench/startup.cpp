// Starts the window and ends at its first expose: as main makes it, or
// (bare) the same widgets on a plain main window, without settings, bundle,
// icon or OpenSSL; both scaled with the display.
#include <QApplication>
#include <QMainWindow>
#include <QWindow>

#include "platform.h"

#ifdef VYR_BENCH_APP
#include "mainview.h"
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
    // Both at the display's scale, as main makes the window.
    Ps::Platform::scaleWithDisplay();
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
