// Qt Core started and ended, nothing else (with VYR_BENCH_CRYPTO: libcrypto
// loaded as well, and asked its version so that the link keeps it).
#include <QCoreApplication>

#ifdef VYR_BENCH_CRYPTO
#include <openssl/crypto.h>
#endif

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
#ifdef VYR_BENCH_CRYPTO
    return OpenSSL_version_num() == 0;
#else
    return 0;
#endif
}
