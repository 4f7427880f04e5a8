#ifndef MAINVIEWFORM_H
#define MAINVIEWFORM_H

class QHBoxLayout;
class QLabel;
class QMainWindow;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QVBoxLayout;
class QWidget;

// Builds the main window's widget tree at fixed positions and keeps a pointer
// to each object it creates. The window's object tree owns the objects; the
// form owns none of them.
class MainViewForm
{
public:
    QWidget *centralWidget;
    QLabel *lblRootCertsProgress;
    QLabel *lblInterimCertsProgress;
    QLabel *lblStatus;
    QWidget *layoutWidget;
    QVBoxLayout *verticalLayout;
    QLabel *label;
    QProgressBar *progressRootCerts;
    QWidget *layoutWidget1;
    QVBoxLayout *verticalLayout_2;
    QLabel *lblInterimCerts;
    QProgressBar *progressInterimCerts;
    QWidget *layoutWidget2;
    QHBoxLayout *horizontalLayout;
    QPushButton *btnExit;
    QPushButton *btnInstall;
    QStatusBar *statusBar;

    void setupForm(QMainWindow *MainView);
    void retranslateForm(QMainWindow *MainView);
};

#endif
