#include "settings.h"

#include <QStringListModel>
#include <QtTest>

// Every settings file here is read through the resource system, from the
// test bundle under ":/Json", exactly as the window reads the shipped one.
class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void loadsLists_data();
    void loadsLists();
};

void TestSettings::loadsLists_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QStringList>("roots");
    QTest::addColumn<QStringList>("intermediates");

    const QStringList fourRoots{"r1.cer", "r2.cer", "r3.crt", "r4.cer"};
    const QStringList fiveIntermediates{"i1.crt", "i2.crt", "i3.crt", "i4.crt", "i5.crt"};
    QTest::newRow("4 and 5 names in file order") << "four_five.json" << fourRoots << fiveIntermediates;
    QTest::newRow("CRLF line ends read as LF") << "four_five_crlf.json" << fourRoots << fiveIntermediates;
    QTest::newRow("interimCerts missing") << "root_only.json" << QStringList{"r1.cer", "r2.cer"} << QStringList();
    QTest::newRow("non-string elements keep their places as empty names")
        << "mixed_types.json" << QStringList{"r1.cer", "", "r2.cer"} << QStringList{"", "", ""};
    QTest::newRow("top level is an array") << "top_level_array.json" << QStringList() << QStringList();
    QTest::newRow("empty file") << "empty.json" << QStringList() << QStringList();
    QTest::newRow("JSON cut short") << "truncated.json" << QStringList() << QStringList();
    QTest::newRow("values that are not arrays") << "not_arrays.json" << QStringList() << QStringList();
    QTest::newRow("text ends at the first zero byte")
        << "zero_byte.json" << QStringList{"r1.cer"} << QStringList{"i1.crt"};
    QTest::newRow("name absent under :/Json") << "Settings.json" << QStringList() << QStringList();
    QTest::newRow("name of a folder") << "" << QStringList() << QStringList();
}

void TestSettings::loadsLists()
{
    QFETCH(QString, fileName);
    QFETCH(QStringList, roots);
    QFETCH(QStringList, intermediates);

    Ps::Settings settings(nullptr, fileName);

    QCOMPARE(settings.rootCertsModel->stringList(), roots);
    QCOMPARE(settings.interimCertsModel->stringList(), intermediates);
    QCOMPARE(settings.rootCertsModel->parent(), &settings);
    QCOMPARE(settings.interimCertsModel->parent(), &settings);
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
