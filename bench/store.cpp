// Certificates in bulk for the scaling figures.
//   bench_store make <folder> <count>        writes cert<i>.der and cert<i>.pem, i < count
//   bench_store add <store> <folder> <from> <to>
//                                            adds cert<from>..cert<to - 1> to the store
//                                            through CryptoAPI's calls; prints microseconds
#include <windows.h>
#include <wincrypt.h>

#include <QElapsedTimer>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// One key signs them all: only the subjects and serials differ.
int make(const std::string &folder, int count)
{
    EVP_PKEY *key = EVP_EC_gen("P-256");
    for (int i = 0; i < count && key; ++i) {
        X509 *x509 = X509_new();
        X509_set_version(x509, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x509), i + 1);
        X509_gmtime_adj(X509_getm_notBefore(x509), 0);
        X509_gmtime_adj(X509_getm_notAfter(x509), 86400L * 365);
        X509_NAME *name = X509_get_subject_name(x509);
        const std::string cn = "Vyr Bench CA " + std::to_string(i);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(cn.c_str()), -1,
                                   -1, 0);
        X509_set_issuer_name(x509, name);
        X509_set_pubkey(x509, key);
        X509_sign(x509, key, EVP_sha256());
        const std::string base = folder + "/cert" + std::to_string(i);
        FILE *der = std::fopen((base + ".der").c_str(), "wb");
        FILE *pem = std::fopen((base + ".pem").c_str(), "w");
        const bool ok = der && pem && i2d_X509_fp(der, x509) && PEM_write_X509(pem, x509);
        if (der)
            std::fclose(der);
        if (pem)
            std::fclose(pem);
        X509_free(x509);
        if (!ok)
            return 1;
    }
    EVP_PKEY_free(key);
    return key ? 0 : 1;
}

int add(const std::wstring &store, const std::string &folder, int from, int to)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = from; i < to; ++i) {
        const std::string path = folder + "/cert" + std::to_string(i) + ".der";
        const std::wstring wide(path.begin(), path.end());
        const void *context = nullptr;
        HCERTSTORE handle = nullptr;
        const bool ok = CryptQueryObject(CERT_QUERY_OBJECT_FILE, wide.c_str(), CERT_QUERY_CONTENT_FLAG_ALL,
                                         CERT_QUERY_CONTENT_FLAG_ALL, 0, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, &context)
                        && (handle = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE,
                                                   store.c_str()))
                        && CertAddCertificateContextToStore(handle, static_cast<PCCERT_CONTEXT>(context),
                                                            CERT_STORE_ADD_ALWAYS, nullptr);
        if (handle)
            CertCloseStore(handle, 0);
        CertFreeCertificateContext(static_cast<PCCERT_CONTEXT>(context));
        if (!ok)
            return 1;
    }
    std::printf("%lld\n", static_cast<long long>(timer.nsecsElapsed() / 1000));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 4 && std::strcmp(argv[1], "make") == 0)
        return make(argv[2], std::atoi(argv[3]));
    if (argc == 6 && std::strcmp(argv[1], "add") == 0) {
        const std::string store = argv[2];
        return add(std::wstring(store.begin(), store.end()), argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
    }
    return 2;
}
