#include "mainview.h"
#include "platform.h"

#include <QLabel>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QResource>
#include <QStatusBar>
#include <QtTest>

#include <memory>

// The window as the executable builds it; this test links no bundle, so it
// starts with no settings file unless a row registers one.
class TestMainView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void showsTexts_data();
    void showsTexts();
    void instructionTextCharacters();
    void hasFixedSize();
    void placesWidgets_data();
    void placesWidgets();
    void textsFitTheLayout_data();
    void textsFitTheLayout();
    void buttonsSideBySide();
    void stacksInCreationOrder();
    void startupCounts_data();
    void startupCounts();
    void showStatusWrapsMessage();
    void metaObjectForConnectByName();
    void installClickRunsTheInstallation();
    void exitClickCloses();

private:
    template <typename T>
    T *child(const char *name) const
    {
        T *widget = window->findChild<T *>(QLatin1String(name));
        if (!widget)
            qFatal("no child %s", name);
        return widget;
    }

    std::unique_ptr<Ps::MainView> window;
};

// As main does, before any window exists.
void TestMainView::initTestCase()
{
    Ps::Platform::useLayoutFont();
}

void TestMainView::init()
{
    window = std::make_unique<Ps::MainView>();
}

void TestMainView::showsTexts_data()
{
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QString>("text");

    QTest::newRow("root caption") << "label" << "Instalare Certificate Root:";
    QTest::newRow("intermediate caption") << "lblInterimCerts" << "Instalare Certificate Intermediare:";
    QTest::newRow("exit button, s with comma below") << "btnExit" << QString::fromUtf8(u8"Ie\u0219ire");
    QTest::newRow("install button") << "btnInstall" << "Instalare";
    QTest::newRow("instruction text")
        << "lblStatus"
        << QString::fromUtf8(u8"<html><head/><body><p align=\"center\"><span style=\" font-size:12pt;\">"
                             u8"Pentru a instala certificatele necesare utiliza\u021bi butonul "
                             u8"\u201dInstalare\u201d</span></p></body></html>");
}

void TestMainView::showsTexts()
{
    QFETCH(QString, objectName);
    QFETCH(QString, text);

    QObject *widget = window->findChild<QObject *>(objectName);
    QVERIFY2(widget, qPrintable(objectName));
    QCOMPARE(widget->property("text").toString(), text);
    QCOMPARE(window->windowTitle(), QStringLiteral("Vyr Cert Installer"));
}

// The characters that look alike but are not: comma-below t, right double
// quotes on both sides, ASCII quotes inside the markup.
void TestMainView::instructionTextCharacters()
{
    const QString text = child<QLabel>("lblStatus")->text();
    QCOMPARE(text.size(), 162);
    QCOMPARE(text.count(QChar(0x021B)), 1);
    QCOMPARE(text.count(QChar(0x201D)), 2);
    QCOMPARE(text.count(QChar(0x0163)), 0); // t with cedilla
    QCOMPARE(text.count(QChar(0x201C)), 0);
    QCOMPARE(text.count(QLatin1Char('"')), 4);
    QCOMPARE(child<QLabel>("lblStatus")->textFormat(), Qt::AutoText);
}

void TestMainView::hasFixedSize()
{
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QCOMPARE(window->minimumSize(), QSize(510, 340));
    QCOMPARE(window->maximumSize(), QSize(510, 340));
    QCOMPARE(window->size(), QSize(510, 340));
    // Logical pixels: at the X server's dpi (VYR_DPI), scaled by dpi / 96.
    if (const int dpi = qEnvironmentVariableIntValue("VYR_DPI"))
        QCOMPARE(window->devicePixelRatioF(), dpi / 96.0);
    QCOMPARE(window->objectName(), QStringLiteral("MainView"));
    QVERIFY(!window->menuWidget());
    QVERIFY(child<QStatusBar>("statusBar")->currentMessage().isEmpty());
}

void TestMainView::placesWidgets_data()
{
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QRect>("geometry");

    QTest::newRow("root progress label on the root caption line") << "lblRootCertsProgress" << QRect(150, 130, 101, 16);
    QTest::newRow("intermediate progress label on its caption line")
        << "lblInterimCertsProgress" << QRect(190, 180, 101, 16);
    QTest::newRow("status line across the top") << "lblStatus" << QRect(10, 30, 491, 41);
    QTest::newRow("root row") << "layoutWidget" << QRect(20, 130, 471, 42);
    QTest::newRow("intermediate row") << "layoutWidget1" << QRect(20, 180, 471, 42);
    QTest::newRow("button row") << "layoutWidget2" << QRect(300, 240, 158, 25);
}

void TestMainView::placesWidgets()
{
    QFETCH(QString, objectName);
    QFETCH(QRect, geometry);

    QWidget *widget = window->findChild<QWidget *>(objectName);
    QVERIFY2(widget, qPrintable(objectName));
    QCOMPARE(widget->geometry(), geometry);
    QCOMPARE(widget->parentWidget(), window->centralWidget());
}

void TestMainView::textsFitTheLayout_data()
{
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("endsBefore"); // the widget the text must end left of; empty: fits its own label

    QTest::newRow("root caption ends before its progress label")
        << "label" << "Instalare Certificate Root:" << "lblRootCertsProgress";
    QTest::newRow("intermediate caption ends before its progress label")
        << "lblInterimCerts" << "Instalare Certificate Intermediare:" << "lblInterimCertsProgress";
    QTest::newRow("root progress text fits its label") << "lblRootCertsProgress" << "4 din 4. Succes - 4" << "";
    QTest::newRow("intermediate progress text fits its label")
        << "lblInterimCertsProgress" << "5 din 5. Succes - 5" << "";
}

// The layout was made for Windows' dialog font: in any other, captions run
// into their progress labels and the counts are cut off.
void TestMainView::textsFitTheLayout()
{
    QFETCH(QString, objectName);
    QFETCH(QString, text);
    QFETCH(QString, endsBefore);

    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QLabel *label = child<QLabel>(qPrintable(objectName));
    const int width = label->fontMetrics().horizontalAdvance(text);
    const QString measured = QStringLiteral("%1 px in %2 %3 pt")
                                 .arg(width)
                                 .arg(label->font().family())
                                 .arg(label->font().pointSizeF());
    if (endsBefore.isEmpty()) {
        QVERIFY2(width <= label->width(), qPrintable(measured));
    } else {
        const int end = label->mapTo(window->centralWidget(), QPoint(0, 0)).x() + width;
        const int next = child<QLabel>(qPrintable(endsBefore))->x();
        QVERIFY2(end < next, qPrintable(measured + QStringLiteral(", ends at %1, the next label starts at %2").arg(end).arg(next)));
    }
}

void TestMainView::buttonsSideBySide()
{
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    const QRect exit = child<QPushButton>("btnExit")->geometry();
    const QRect install = child<QPushButton>("btnInstall")->geometry();
    QCOMPARE(exit.left(), 0);
    QCOMPARE(install.left() - exit.right() - 1, 6);
    QCOMPARE(install.right(), 157);
    // The desktop's font sets their height within the 25 px row: 23 px at
    // 96 dpi, like Windows' own push buttons, and 25 px at 100 dpi.
    QVERIFY2(exit.height() >= 23 && exit.height() <= 25, qPrintable(QString::number(exit.height())));
}

// The progress labels lie on the caption lines; the row containers, created
// after them, stack above them without hiding them.
void TestMainView::stacksInCreationOrder()
{
    QStringList names;
    for (QObject *object : window->centralWidget()->children())
        names << object->objectName();
    QCOMPARE(names, QStringList({"lblRootCertsProgress", "lblInterimCertsProgress", "lblStatus", "layoutWidget",
                                 "layoutWidget1", "layoutWidget2"}));
    QVERIFY(!child<QWidget>("layoutWidget")->autoFillBackground());
    QVERIFY(!child<QLabel>("label")->autoFillBackground());
}

void TestMainView::startupCounts_data()
{
    QTest::addColumn<QString>("bundle");
    QTest::addColumn<QString>("rootText");
    QTest::addColumn<QString>("interimText");

    QTest::newRow("no settings file") << QString() << "0 din 0" << "0 din 0";
    QTest::newRow("4 roots and 5 intermediates") << QStringLiteral(SETTINGS45_RCC) << "0 din 4" << "0 din 5";
}

void TestMainView::startupCounts()
{
    QFETCH(QString, bundle);
    QFETCH(QString, rootText);
    QFETCH(QString, interimText);

    if (!bundle.isEmpty())
        QVERIFY(QResource::registerResource(bundle));
    Ps::MainView view;
    if (!bundle.isEmpty())
        QVERIFY(QResource::unregisterResource(bundle));

    QCOMPARE(view.findChild<QLabel *>("lblRootCertsProgress")->text(), rootText);
    QCOMPARE(view.findChild<QLabel *>("lblInterimCertsProgress")->text(), interimText);
    QCOMPARE(view.findChild<QProgressBar *>("progressRootCerts")->value(), 0);
    QCOMPARE(view.findChild<QProgressBar *>("progressInterimCerts")->value(), 0);
}

void TestMainView::showStatusWrapsMessage()
{
    window->showStatus(QStringLiteral("Instalare..."));
    QCOMPARE(child<QLabel>("lblStatus")->text(),
             QStringLiteral("<html><head/><body><p align='center'><span style=' font-size:12pt;'>"
                            "Instalare...</span></p></body></html>"));
    QCOMPARE(Ps::MainView::statusPrefix + QStringLiteral("Instalare...") + Ps::MainView::statusSuffix,
             child<QLabel>("lblStatus")->text());
}

void TestMainView::metaObjectForConnectByName()
{
    const QMetaObject *meta = window->metaObject();
    QCOMPARE(meta->className(), "Ps::MainView");
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 1);
    QCOMPARE(meta->propertyCount() - meta->propertyOffset(), 0);
    const QMetaMethod slot = meta->method(meta->methodOffset());
    QCOMPARE(slot.methodSignature(), QByteArray("on_btnInstall_clicked()"));
    QCOMPARE(slot.methodType(), QMetaMethod::Slot);
    QCOMPARE(slot.access(), QMetaMethod::Private);
    QCOMPARE(slot.returnType(), int(QMetaType::Void));
    QVERIFY(window->qt_metacast("Ps::MainView") == window.get());
    QVERIFY(window->qt_metacast("QMainWindow") == window.get());
}

// With no settings the run touches nothing and ends with the summary; its
// progress labels keep their start-up texts.
void TestMainView::installClickRunsTheInstallation()
{
    QTest::mouseClick(child<QPushButton>("btnInstall"), Qt::LeftButton);
    QCOMPARE(child<QLabel>("lblStatus")->text(),
             Ps::MainView::statusPrefix
                 + QString::fromUtf8(u8"Importare finalizat\u0103 <br/> Importat cu succes 0 certificate din 0")
                 + Ps::MainView::statusSuffix);
    QCOMPARE(child<QLabel>("lblRootCertsProgress")->text(), QStringLiteral("0 din 0"));
    QCOMPARE(child<QProgressBar>("progressRootCerts")->maximum(), 0);
}

void TestMainView::exitClickCloses()
{
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QTest::mouseClick(child<QPushButton>("btnExit"), Qt::LeftButton);
    QVERIFY(!window->isVisible());
}

// As the executable starts, scaled with the display: QTEST_MAIN would pin
// the dpi to 96 and hide what the dpi rows are for.
int main(int argc, char *argv[])
{
    Ps::Platform::scaleWithDisplay();
    QApplication application(argc, argv);
    TestMainView test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_mainview.moc"
