// Qt Core started and ended, nothing else.
#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    return 0;
}
