#include "mainviewform.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMainWindow>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QVBoxLayout>
#include <QWidget>

#include <array>
#include <tuple>

namespace {

// The layouts take their final margins only after their object name, as the
// window was first laid out in the designer; both calls stay so the order of
// property changes is the same.
template <typename Layout>
Layout *makeLayout(QWidget *host, const char *name)
{
    auto *layout = new Layout(host);
    layout->setSpacing(6);
    layout->setContentsMargins(11, 11, 11, 11);
    layout->setObjectName(QString::fromLatin1(name));
    layout->setContentsMargins(0, 0, 0, 0);
    return layout;
}

template <typename Widget>
Widget *makeWidget(QWidget *parent, const char *name)
{
    auto *widget = new Widget(parent);
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

// A caption above a progress bar, in a container at a fixed place; the names
// are those of the container, its layout, the caption and the bar.
std::tuple<QWidget *, QVBoxLayout *, QLabel *, QProgressBar *>
makeProgressRow(QWidget *parent, const QRect &geometry, const std::array<const char *, 4> &names)
{
    auto *container = makeWidget<QWidget>(parent, names[0]);
    container->setGeometry(geometry);
    auto *layout = makeLayout<QVBoxLayout>(container, names[1]);
    auto *caption = makeWidget<QLabel>(container, names[2]);
    layout->addWidget(caption);
    auto *bar = makeWidget<QProgressBar>(container, names[3]);
    bar->setValue(0);
    layout->addWidget(bar);
    return {container, layout, caption, bar};
}

} // namespace

void MainViewForm::setupForm(QMainWindow *MainView)
{
    if (MainView->objectName().isEmpty())
        MainView->setObjectName(QStringLiteral("MainView"));
    MainView->resize(510, 340);
    QSizePolicy sizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    sizePolicy.setHorizontalStretch(0);
    sizePolicy.setVerticalStretch(0);
    sizePolicy.setHeightForWidth(MainView->sizePolicy().hasHeightForWidth());
    MainView->setSizePolicy(sizePolicy);
    MainView->setMinimumSize(QSize(510, 340));
    MainView->setMaximumSize(QSize(510, 340));
    QIcon icon;
    icon.addFile(QStringLiteral(":/Images/vyr.ico"), QSize(), QIcon::Normal, QIcon::Off);
    MainView->setWindowIcon(icon);
    MainView->setLayoutDirection(Qt::LeftToRight);
    MainView->setIconSize(QSize(24, 16));
    MainView->setAnimated(true);
    MainView->setDocumentMode(false);

    centralWidget = makeWidget<QWidget>(MainView, "centralWidget");
    centralWidget->setMaximumSize(QSize(510, 16777215));
    lblRootCertsProgress = makeWidget<QLabel>(centralWidget, "lblRootCertsProgress");
    lblRootCertsProgress->setGeometry(QRect(150, 130, 101, 16));
    lblInterimCertsProgress = makeWidget<QLabel>(centralWidget, "lblInterimCertsProgress");
    lblInterimCertsProgress->setGeometry(QRect(190, 180, 101, 16));
    lblStatus = makeWidget<QLabel>(centralWidget, "lblStatus");
    lblStatus->setGeometry(QRect(10, 30, 491, 41));

    std::tie(layoutWidget, verticalLayout, label, progressRootCerts) = makeProgressRow(
        centralWidget, QRect(20, 130, 471, 42), {"layoutWidget", "verticalLayout", "label", "progressRootCerts"});
    std::tie(layoutWidget1, verticalLayout_2, lblInterimCerts, progressInterimCerts) =
        makeProgressRow(centralWidget, QRect(20, 180, 471, 42),
                        {"layoutWidget1", "verticalLayout_2", "lblInterimCerts", "progressInterimCerts"});

    layoutWidget2 = makeWidget<QWidget>(centralWidget, "layoutWidget2");
    layoutWidget2->setGeometry(QRect(300, 240, 158, 25));
    horizontalLayout = makeLayout<QHBoxLayout>(layoutWidget2, "horizontalLayout");
    btnExit = makeWidget<QPushButton>(layoutWidget2, "btnExit");
    horizontalLayout->addWidget(btnExit);
    btnInstall = makeWidget<QPushButton>(layoutWidget2, "btnInstall");
    horizontalLayout->addWidget(btnInstall);

    MainView->setCentralWidget(centralWidget);
    statusBar = makeWidget<QStatusBar>(MainView, "statusBar");
    MainView->setStatusBar(statusBar);

    retranslateForm(MainView);
    QObject::connect(btnExit, SIGNAL(clicked()), MainView, SLOT(close()));

    QMetaObject::connectSlotsByName(MainView);
}

void MainViewForm::retranslateForm(QMainWindow *MainView)
{
    MainView->setWindowTitle(QCoreApplication::translate("MainView", "Vyr Cert Installer", nullptr));
    lblRootCertsProgress->setText(QString());
    lblInterimCertsProgress->setText(QString());
    lblStatus->setText(QCoreApplication::translate("MainView",
        "<html><head/><body><p align=\"center\"><span style=\" font-size:12pt;\">"
        u8"Pentru a instala certificatele necesare utiliza\u021bi butonul \u201dInstalare\u201d"
        "</span></p></body></html>", nullptr));
    label->setText(QCoreApplication::translate("MainView", "Instalare Certificate Root:", nullptr));
    lblInterimCerts->setText(QCoreApplication::translate("MainView", "Instalare Certificate Intermediare:", nullptr));
    btnExit->setText(QCoreApplication::translate("MainView", u8"Ie\u0219ire", nullptr));
    btnInstall->setText(QCoreApplication::translate("MainView", "Instalare", nullptr));
}
