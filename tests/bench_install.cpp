// Prints how long one import and one whole installation run of the shipped
// bundle take, against the scratch stores. A benchmark, not a test: it
// prints figures and judges none of them.
#include "mainview.h"
#include "storefixture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

#include <algorithm>
#include <vector>

namespace {

struct Figures
{
    double median;
    double best;
};

template <typename Work>
Figures measure(int rounds, Work work)
{
    std::vector<double> micros;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        micros.push_back(timer.nsecsElapsed() / 1000.0);
    }
    std::sort(micros.begin(), micros.end());
    return {micros[micros.size() / 2], micros.front()};
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QTextStream out(stdout);
    StoreFixture::clearStores();

    Ps::MainView view;
    const QString copy = QDir::tempPath() + QStringLiteral("/bench-root.cer");
    QFile::remove(copy);
    QFile::copy(QStringLiteral(":/Cert/Vyr_Root_CA_1.cer"), copy);
    const std::wstring path = copy.toStdWString();
    const Figures one = measure(500, [&] { view.importCertificate(path.c_str(), L"ROOT", QStringLiteral("x")); });
    out << "one import into ROOT:       median " << one.median << " us, best " << one.best << " us (500 rounds)\n";

    const Figures run = measure(50, [&] { QMetaObject::invokeMethod(&view, "on_btnInstall_clicked"); });
    out << "whole run of 9 certificates: median " << run.median / 1000 << " ms, best " << run.best / 1000
        << " ms (50 rounds)\n";
    return 0;
}
