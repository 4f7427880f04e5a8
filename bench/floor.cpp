// The floor of a nine-certificate run: for each bundled certificate, the copy
// out of the bundle (QFile::copy, as the run is made), one decode (DER to
// X509, SHA-1, subject hash), the PEM file written with one file sync and
// renamed into place, its link, and one folder sync per store. Prints the
// microseconds that took. Usage: bench_floor <store root> <temporary folder>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

bool syncPath(const std::string &path, int flags)
{
    const int fd = open(path.c_str(), flags | O_CLOEXEC);
    const bool ok = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

bool place(const QString &name, const std::string &folder, const QString &temp)
{
    const QString copy = temp + '/' + name;
    QFile::remove(copy);
    if (!QFile::copy(QStringLiteral(":/Cert/") + name, copy))
        return false;
    QFile file(copy);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray der = file.readAll();
    const unsigned char *p = reinterpret_cast<const unsigned char *>(der.constData());
    X509 *x509 = d2i_X509(nullptr, &p, der.size());
    unsigned char sha1[20];
    unsigned int size = 0;
    if (!x509 || !X509_digest(x509, EVP_sha1(), sha1, &size))
        return false;
    char hex[41];
    for (unsigned i = 0; i < 20; ++i)
        std::snprintf(hex + 2 * i, 3, "%02X", sha1[i]);
    char hash[16];
    std::snprintf(hash, sizeof hash, "%08lx.0", X509_subject_name_hash(x509));
    const std::string target = folder + "/" + hex + ".crt";
    const std::string temporary = target + ".tmp";
    FILE *out = std::fopen(temporary.c_str(), "w");
    bool ok = out && PEM_write_X509(out, x509) && std::fflush(out) == 0 && fsync(fileno(out)) == 0;
    ok = out && std::fclose(out) == 0 && ok;
    X509_free(x509);
    ok = ok && std::rename(temporary.c_str(), target.c_str()) == 0;
    unlink((folder + "/" + hash).c_str());
    return ok && symlink((std::string(hex) + ".crt").c_str(), (folder + "/" + hash).c_str()) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    if (argc != 3)
        return 2;
    const std::string root = argv[1];
    const QString temp = QString::fromLocal8Bit(argv[2]);
    const QStringList roots{"Vyr_Root_CA_1.cer", "Vyr_Root_CA_2.cer", "Vyr_Root_CA_3.crt", "Vyr_Root_CA_4.cer"};
    const QStringList intermediates{"Vyr_Int_1.crt", "Vyr_Int_2.crt", "Vyr_Int_3.crt", "Vyr_Int_4.crt", "Vyr_Int_5.crt"};
    QDir(QString::fromStdString(root + "/ROOT")).removeRecursively();
    QDir(QString::fromStdString(root + "/CA")).removeRecursively();
    QDir().mkpath(QString::fromStdString(root + "/ROOT"));
    QDir().mkpath(QString::fromStdString(root + "/CA"));
    syncPath(root, O_RDONLY | O_DIRECTORY);

    QElapsedTimer timer;
    timer.start();
    bool ok = true;
    for (const auto &[names, store] : {std::pair{roots, "/ROOT"}, std::pair{intermediates, "/CA"}}) {
        for (const QString &name : names)
            ok = place(name, root + store, temp) && ok;
        ok = syncPath(root + store, O_RDONLY | O_DIRECTORY) && ok;
    }
    std::printf("%lld\n", static_cast<long long>(timer.nsecsElapsed() / 1000));
    return ok ? 0 : 1;
}
