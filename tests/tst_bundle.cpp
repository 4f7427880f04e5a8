// The bundle as compiled into the executable, read through ":/" paths and
// checked with OpenSSL. An organisation that swaps in its own certificates
// learns here whether its set keeps the shape the installer relies on; every
// failure names the file and the property.
#include "settings.h"

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <QDir>
#include <QFile>
#include <QIcon>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QStringListModel>
#include <QtEndian>
#include <QtTest>

#include <memory>

namespace {

struct X509Free
{
    void operator()(X509 *x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

QByteArray resource(const QString &path, QIODevice::OpenMode mode = QIODevice::ReadOnly)
{
    QFile file(path);
    return file.open(mode) ? file.readAll() : QByteArray();
}

X509Ptr loadCertificate(const QString &name)
{
    const QByteArray der = resource(QStringLiteral(":/Cert/") + name);
    const auto *cursor = reinterpret_cast<const unsigned char *>(der.constData());
    X509Ptr x509(d2i_X509(nullptr, &cursor, der.size()));
    if (cursor != reinterpret_cast<const unsigned char *>(der.constData()) + der.size())
        x509.reset();
    return x509;
}

QStringList rootNames()
{
    return Ps::Settings(nullptr, QStringLiteral("Settings.json")).rootCertsModel->stringList();
}

QStringList intermediateNames()
{
    return Ps::Settings(nullptr, QStringLiteral("Settings.json")).interimCertsModel->stringList();
}

QByteArray keyId(const ASN1_OCTET_STRING *id)
{
    return id ? QByteArray(reinterpret_cast<const char *>(ASN1_STRING_get0_data(id)), ASN1_STRING_length(id))
              : QByteArray();
}

} // namespace

class TestBundle : public QObject
{
    Q_OBJECT

private slots:
    void settingsFile();
    void namesMatchFilesOneToOne();
    void certificate_data();
    void certificate();
    void icon();
    void check_data();
    void check();
};

void TestBundle::settingsFile()
{
    const QByteArray raw = resource(QStringLiteral(":/Json/Settings.json"));
    QCOMPARE(raw.size(), 292);
    QVERIFY2(!raw.startsWith("\xEF\xBB\xBF"), "Settings.json: no byte-order mark");
    QCOMPARE(raw.count("\r\n"), 15);
    QCOMPARE(raw.count('\n'), 15);
    QVERIFY2(raw.endsWith("}\r\n"), "Settings.json: CR LF after the last line");

    const QByteArray text = resource(QStringLiteral(":/Json/Settings.json"), QIODevice::ReadOnly | QIODevice::Text);
    QVERIFY2(!text.contains('\r'), "Settings.json: read in text mode, no CR is left");
    QCOMPARE(rootNames().size(), 4);
    QCOMPARE(intermediateNames().size(), 5);
}

void TestBundle::namesMatchFilesOneToOne()
{
    QStringList names = rootNames() + intermediateNames();
    names.sort();
    QStringList files = QDir(QStringLiteral(":/Cert")).entryList(QDir::Files);
    files.sort();
    QCOMPARE(files, names);
    QCOMPARE(names.size(), 9);
    QCOMPARE(names.removeDuplicates(), 0);
    QCOMPARE(names.join(QString()).size(), 133);
    for (const QString &name : names)
        QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9_]+\\.(cer|crt)$")).match(name).hasMatch()
                     && name.size() >= 10 && name.size() <= 20,
                 qPrintable(name + ": a name of 10 to 20 letters, digits and underscores with its extension"));
}

void TestBundle::certificate_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("extension");
    QTest::addColumn<int>("issuerRoot");       // position in the root list; 0: self-signed
    QTest::addColumn<bool>("constraintsCritical");
    QTest::addColumn<int>("pathLength");       // -1: no limit

    const QStringList roots = rootNames();
    const QStringList intermediates = intermediateNames();
    if (roots.size() != 4 || intermediates.size() != 5)
        QSKIP("the settings file does not list 4 roots and 5 intermediates: see settingsFile()");
    struct Row { QString name; const char *extension; int issuerRoot; bool critical; int pathLength; };
    const Row rows[] = {
        {roots[0], ".cer", 0, true, -1},         {roots[1], ".cer", 0, true, -1},
        {roots[2], ".crt", 0, false, 2},         {roots[3], ".cer", 0, true, -1},
        {intermediates[0], ".crt", 3, true, 1},  {intermediates[1], ".crt", 2, true, 1},
        {intermediates[2], ".crt", 2, true, 1},  {intermediates[3], ".crt", 4, true, -1},
        {intermediates[4], ".crt", 4, true, -1},
    };
    for (const Row &row : rows)
        QTest::newRow(qPrintable(row.name)) << row.name << row.extension << row.issuerRoot << row.critical
                                            << row.pathLength;
}

void TestBundle::certificate()
{
    QFETCH(QString, name);
    QFETCH(QString, extension);
    QFETCH(int, issuerRoot);
    QFETCH(bool, constraintsCritical);
    QFETCH(int, pathLength);
    const auto property = [&](const char *what) { return qPrintable(name + QStringLiteral(": ") + what); };

    const QByteArray der = resource(QStringLiteral(":/Cert/") + name);
    QVERIFY2(der.size() >= 1689 && der.size() <= 1878, property("1689 to 1878 bytes"));
    QVERIFY2(name.endsWith(extension), property("extension as listed"));
    QVERIFY2(der.at(0) == 0x30 && uchar(der.at(1)) == 0x82
                 && qFromBigEndian<quint16>(der.constData() + 2) + 4 == der.size(),
             property("one DER SEQUENCE whose length covers the file"));
    X509Ptr x509 = loadCertificate(name);
    QVERIFY2(x509, property("one X.509 certificate and nothing after it"));

    QVERIFY2(X509_get_version(x509.get()) == 2, property("X.509 version 3"));
    QVERIFY2(X509_get_signature_nid(x509.get()) == NID_sha1WithRSAEncryption, property("sha1WithRSAEncryption"));
    EVP_PKEY *key = X509_get0_pubkey(x509.get());
    BIGNUM *exponent = nullptr;
    QVERIFY2(key && EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA && EVP_PKEY_get_bits(key) == 4096,
             property("RSA key of 4096 bits"));
    QVERIFY2(EVP_PKEY_get_bn_param(key, "e", &exponent) == 1, property("RSA public exponent"));
    const bool f4 = BN_is_word(exponent, 65537);
    BN_free(exponent);
    QVERIFY2(f4, property("public exponent 65537"));

    int critical = -1;
    auto *constraints = static_cast<BASIC_CONSTRAINTS *>(
        X509_get_ext_d2i(x509.get(), NID_basic_constraints, &critical, nullptr));
    QVERIFY2(constraints && constraints->ca, property("basic constraints with CA true"));
    const long limit = constraints->pathlen ? ASN1_INTEGER_get(constraints->pathlen) : -1;
    BASIC_CONSTRAINTS_free(constraints);
    QVERIFY2((critical == 1) == constraintsCritical, property("basic constraints criticality"));
    QVERIFY2(limit == pathLength, property("path length"));

    const int usage = X509_get_ext_by_NID(x509.get(), NID_key_usage, -1);
    QVERIFY2(usage >= 0 && X509_EXTENSION_get_critical(X509_get_ext(x509.get(), usage)),
             property("key usage present and critical"));
    QVERIFY2(X509_get_key_usage(x509.get()) == (KU_KEY_CERT_SIGN | KU_CRL_SIGN),
             property("key usage only certificate signing and CRL signing"));
    QVERIFY2(!keyId(X509_get0_subject_key_id(x509.get())).isEmpty(), property("subject key identifier"));

    X509Ptr issuer = issuerRoot ? loadCertificate(rootNames().value(issuerRoot - 1)) : loadCertificate(name);
    QVERIFY2(issuer, property("issuer in the bundle"));
    QVERIFY2(X509_check_issued(issuer.get(), x509.get()) == X509_V_OK, property("issuer as in the table"));
    QVERIFY2(X509_verify(x509.get(), X509_get0_pubkey(issuer.get())) == 1, property("signature under the issuer's key"));
    if (issuerRoot)
        QVERIFY2(keyId(X509_get0_authority_key_id(x509.get())) == keyId(X509_get0_subject_key_id(issuer.get())),
                 property("authority key identifier equal to the issuer's subject key identifier"));
}

void TestBundle::icon()
{
    const QByteArray raw = resource(QStringLiteral(":/Images/vyr.ico"));
    QCOMPARE(raw.size(), 99678);
    const auto word = [&](int at) { return qFromLittleEndian<quint16>(raw.constData() + at); };
    const auto dword = [&](int at) { return qFromLittleEndian<quint32>(raw.constData() + at); };
    QVERIFY2(word(0) == 0 && word(2) == 1 && word(4) == 5, "vyr.ico: an icon container of five images");
    const int sides[] = {16, 32, 48, 64, 128};
    for (int i = 0; i < 5; ++i) {
        const int entry = 6 + 16 * i;
        const QByteArray what = "vyr.ico image " + QByteArray::number(sides[i]);
        QVERIFY2(uchar(raw[entry]) == sides[i] && uchar(raw[entry + 1]) == sides[i], what + ": size, in order");
        QVERIFY2(raw[entry + 2] == 0 && word(entry + 4) == 0 && word(entry + 6) == 32, what + ": 32-bit entry");
        const int offset = int(dword(entry + 12));
        QVERIFY2(dword(offset) == 40 && int(dword(offset + 8)) == 2 * sides[i] && word(offset + 14) == 32,
                 what + ": 32-bit bitmap with mask, not PNG");
    }

    const QList<QSize> sizes = QIcon(QStringLiteral(":/Images/vyr.ico")).availableSizes();
    for (const int side : sides)
        QVERIFY2(sizes.contains(QSize(side, side)), qPrintable(QStringLiteral("vyr.ico: QIcon offers %1 px").arg(side)));
}

// A bundle folder of test certificates, each row as a release might bring it,
// run through the build's own check: the exit status, and the line that names
// the file and the fault.
void TestBundle::check_data()
{
    QTest::addColumn<QStringList>("files"); // "<name in Cert/>=<test certificate>", or an option of the check
    QTest::addColumn<QStringList>("roots"); // or {"=<the settings file's whole text>"}
    QTest::addColumn<QStringList>("intermediates");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("line"); // a part of the expected line; empty: no output at all

    const QStringList chain{QStringLiteral("Root.cer=root.der"), QStringLiteral("Int.crt=inter.der")};
    const QStringList root{QStringLiteral("Root.cer")};
    const QStringList intermediate{QStringLiteral("Int.crt")};
    const auto with = [&](const QString &file) { return chain + QStringList{file}; };
    QTest::newRow("a root and its intermediate: the root may vouch for any name")
        << chain << root << intermediate << 0
        << QStringLiteral("Cert/Root.cer: warning: a root without name constraints: it may vouch for any name");
    QTest::newRow("a root limited to names of its own") << QStringList{QStringLiteral("Root.cer=ncroot.der")} << root
                                                        << QStringList() << 0 << QString();
    QTest::newRow("a root limited to DNS names only")
        << QStringList{QStringLiteral("Root.cer=dnsroot.der")} << root << QStringList() << 0
        << QStringLiteral("Cert/Root.cer: warning: a root whose name constraints cover DNS names only: it may vouch "
                          "for any IP address");
    const QString required = QStringLiteral("--require-name-constraints");
    QTest::newRow("names required: a root without them") << chain + QStringList{required} << root << intermediate << 1
                                                          << QStringLiteral("Cert/Root.cer: error: a root without name constraints");
    QTest::newRow("names required: DNS names only")
        << QStringList{QStringLiteral("Root.cer=dnsroot.der"), required} << root << QStringList() << 1
        << QStringLiteral("Cert/Root.cer: error: a root whose name constraints cover DNS names only");
    QTest::newRow("names required: a root limited to its names")
        << QStringList{QStringLiteral("Root.cer=ncroot.der"), required} << root << QStringList() << 0 << QString();
    QTest::newRow("listed, missing") << chain << QStringList{QStringLiteral("Root.cer"), QStringLiteral("Gone.cer")}
                                     << intermediate << 1 << QStringLiteral("Cert/Gone.cer: error: listed in \"rootCerts\" but missing");
    QTest::newRow("not a bare file name") << chain << QStringList{QStringLiteral("Root.cer"), QStringLiteral("../Root.cer")}
                                          << intermediate << 1
                                          << QStringLiteral("Json/Settings.json: error: \"rootCerts\" lists \"../Root.cer\", which is not a bare file name");
    QTest::newRow("text") << with(QStringLiteral("Text.cer=text.txt")) << QStringList{QStringLiteral("Root.cer"), QStringLiteral("Text.cer")}
                          << intermediate << 1 << QStringLiteral("Cert/Text.cer: error: not exactly one X.509 certificate (DER or PEM)");
    QTest::newRow("two certificates in one file") << with(QStringLiteral("Two.crt=two.pem")) << root
                                                  << QStringList{QStringLiteral("Int.crt"), QStringLiteral("Two.crt")} << 1
                                                  << QStringLiteral("Cert/Two.crt: error: not exactly one X.509 certificate");
    QTest::newRow("a root not self-signed") << chain << QStringList{QStringLiteral("Root.cer"), QStringLiteral("Int.crt")}
                                            << QStringList() << 1
                                            << QStringLiteral("Cert/Int.crt: error: a root that does not verify with its own key");
    QTest::newRow("a self-signed end-entity root") << with(QStringLiteral("Leaf.cer=selfleaf.der"))
                                                   << QStringList{QStringLiteral("Root.cer"), QStringLiteral("Leaf.cer")} << intermediate << 1
                                                   << QStringLiteral("Cert/Leaf.cer: error: a root without keyCertSign in its key usage");
    QTest::newRow("an end-entity intermediate") << with(QStringLiteral("Leaf.crt=leaf.der")) << root
                                                << QStringList{QStringLiteral("Int.crt"), QStringLiteral("Leaf.crt")} << 1
                                                << QStringLiteral("Cert/Leaf.crt: error: an intermediate without CA:TRUE");
    QTest::newRow("an intermediate its issuer did not sign") << with(QStringLiteral("Forged.crt=forged.der")) << root
                                                             << QStringList{QStringLiteral("Int.crt"), QStringLiteral("Forged.crt")} << 1
                                                             << QStringLiteral("Cert/Forged.crt: error: its signature does not verify against its issuer Cert/Root.cer");
    QTest::newRow("listed twice") << with(QStringLiteral("Copy.cer=root.der"))
                                  << QStringList{QStringLiteral("Root.cer"), QStringLiteral("Copy.cer")} << intermediate << 1
                                  << QStringLiteral("Cert/Copy.cer: error: the same certificate as Cert/Root.cer, listed twice");
    QTest::newRow("in both lists") << chain << root << QStringList{QStringLiteral("Int.crt"), QStringLiteral("Root.cer")} << 1
                                   << QStringLiteral("Cert/Root.cer: error: the same certificate as Cert/Root.cer, in both lists");
    QTest::newRow("expired") << with(QStringLiteral("Old.cer=expired.der")) << QStringList{QStringLiteral("Root.cer"), QStringLiteral("Old.cer")}
                             << intermediate << 1 << QStringLiteral("Cert/Old.cer: error: expired on 2021-01-01 00:00:00 UTC");
    QTest::newRow("not yet valid") << with(QStringLiteral("New.cer=future.der")) << QStringList{QStringLiteral("Root.cer"), QStringLiteral("New.cer")}
                                   << intermediate << 1 << QStringLiteral("Cert/New.cer: error: not yet valid: valid from 2040-01-01 00:00:00 UTC");
    QTest::newRow("ten days left: a warning") << with(QStringLiteral("Soon.cer=tendays.der"))
                                              << QStringList{QStringLiteral("Root.cer"), QStringLiteral("Soon.cer")} << intermediate << 0
                                              << QStringLiteral("Cert/Soon.cer: warning: expires on");
    QTest::newRow("issuer elsewhere: a warning") << QStringList{QStringLiteral("Int.crt=inter.der")} << QStringList() << intermediate << 0
                                                 << QStringLiteral("Cert/Int.crt: warning: its issuer is not in the bundle");
    QTest::newRow("unlisted: a warning") << with(QStringLiteral("Spare.cer=other.der")) << root << intermediate << 0
                                         << QStringLiteral("Cert/Spare.cer: warning: no list names it");
    QTest::newRow("settings a JSON array") << chain << QStringList{QStringLiteral("=[\"Root.cer\"]")} << QStringList() << 1
                                           << QStringLiteral("Json/Settings.json: error: the settings file is a JSON "
                                                             "array; it must be an object with rootCerts and interimCerts");
}

void TestBundle::check()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, roots);
    QFETCH(QStringList, intermediates);
    QFETCH(int, status);
    QFETCH(QString, line);

    QTemporaryDir bundle;
    QVERIFY(QDir(bundle.path()).mkpath(QStringLiteral("Cert")) && QDir(bundle.path()).mkpath(QStringLiteral("Json")));
    QStringList options;
    for (const QString &file : files) {
        if (file.startsWith(QLatin1String("--"))) {
            options.append(file);
            continue;
        }
        const QStringList parts = file.split(QLatin1Char('='));
        QVERIFY(QFile::copy(QStringLiteral(VYR_TEST_DATA "/") + parts[1], bundle.filePath(QStringLiteral("Cert/") + parts[0])));
    }
    QFile settings(bundle.filePath(QStringLiteral("Json/Settings.json")));
    QVERIFY(settings.open(QIODevice::WriteOnly));
    if (roots.value(0).startsWith(QLatin1Char('=')))
        settings.write(roots.first().mid(1).toUtf8());
    else
        settings.write(QJsonDocument(QJsonObject{{QStringLiteral("rootCerts"), QJsonArray::fromStringList(roots)},
                                                 {QStringLiteral("interimCerts"), QJsonArray::fromStringList(intermediates)}})
                           .toJson());
    settings.close();

    QProcess tool;
    tool.start(QStringLiteral(VYR_BUNDLE_CHECK), options + QStringList{bundle.path()});
    QVERIFY(tool.waitForFinished());
    const QString output = QString::fromUtf8(tool.readAllStandardError());
    QCOMPARE(tool.exitCode(), status);
    if (line.isEmpty())
        QCOMPARE(output, QString());
    else
        QVERIFY2(output.contains(bundle.path() + QLatin1Char('/') + line), qPrintable(output));
}

QTEST_MAIN(TestBundle)
#include "tst_bundle.moc"
