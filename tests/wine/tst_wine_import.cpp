// The import's CryptoAPI call sequence, built with MinGW and run under Wine
// against Wine's crypt32: what the real system stores take, and what they
// refuse. Usage: tst_wine_import <folder of test files, as a Windows path>
#include "storeimport.h"

#include <windows.h>
#include <wincrypt.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

int passes = 0;
int failures = 0;

void check(bool ok, const std::string &what)
{
    std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what.c_str());
    ++(ok ? passes : failures);
}

HCERTSTORE openStore(const wchar_t *name, DWORD flags = CERT_STORE_OPEN_EXISTING_FLAG)
{
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE | flags, name);
}

struct Contents
{
    int certificates = 0;
    int crls = 0;
    bool operator==(const Contents &other) const
    {
        return certificates == other.certificates && crls == other.crls;
    }
};

Contents contents(const wchar_t *name)
{
    Contents counted;
    HCERTSTORE store = openStore(name, CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG);
    if (!store)
        return counted;
    for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c));)
        ++counted.certificates;
    for (PCCRL_CONTEXT c = nullptr; (c = CertEnumCRLsInStore(store, c));)
        ++counted.crls;
    CertCloseStore(store, 0);
    return counted;
}

std::vector<BYTE> hexBytes(const std::string &hex)
{
    std::vector<BYTE> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<BYTE>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

bool holdsThumbprint(const wchar_t *name, const std::string &thumbprintFile)
{
    std::ifstream in(thumbprintFile);
    std::string hex;
    in >> hex;
    std::vector<BYTE> hash = hexBytes(hex);
    if (hash.size() != 20)
        return false;
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), hash.data()};
    HCERTSTORE store = openStore(name, CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG);
    if (!store)
        return false;
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob,
                                                      nullptr);
    CertFreeCertificateContext(found);
    CertCloseStore(store, 0);
    return found != nullptr;
}

struct Case
{
    const char *file;
    const wchar_t *store;
    bool added;
};

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <test file folder>\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];

    // Windows always has a CA store; a fresh Wine prefix does not yet.
    HCERTSTORE ca = openStore(L"CA", 0);
    check(ca != nullptr, "the local machine's CA store exists");
    if (ca)
        CertCloseStore(ca, 0);

    const Case cases[] = {
        {"root.der", L"ROOT", true},
        {"inter.der", L"CA", true},
        {"inter.pem", L"CA", true},
        {"text.txt", L"ROOT", false},
        {"truncated.der", L"ROOT", false},
        {"absent.der", L"ROOT", false},
        {"crl.der", L"ROOT", false},
        {"crl.der", L"CA", false},
        {"p7.der", L"ROOT", false},
        {"p7.der", L"CA", false},
        {"root.der", L"VyrNoSuchStore", false},
    };
    for (const Case &test : cases) {
        const std::string path = folder + "/" + test.file;
        const std::wstring widePath(path.begin(), path.end());
        const std::wstring store(test.store);
        const std::string label = std::string(test.file) + " into " + std::string(store.begin(), store.end());
        const Contents rootBefore = contents(L"ROOT");
        const Contents caBefore = contents(L"CA");

        int announced = 0;
        const auto start = std::chrono::steady_clock::now();
        const bool added = Ps::addCertificateFileToStore(widePath.c_str(), test.store, [&] { ++announced; });
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

        check(added == test.added, label + (test.added ? " is added" : " is refused"));
        check(announced == (test.added ? 1 : 0), label + (test.added ? " is announced once" : " is not announced"));
        if (!test.added)
            check(contents(L"ROOT") == rootBefore && contents(L"CA") == caBefore, label + " leaves both stores as they were");
        else
            std::printf("time: one import of %s took %.2f ms\n", label.c_str(), ms);
    }

    check(holdsThumbprint(L"ROOT", folder + "/root.sha1"), "ROOT holds the test root, found by thumbprint");
    check(holdsThumbprint(L"CA", folder + "/inter.sha1"), "CA holds the test intermediate, found by thumbprint");
    check(!holdsThumbprint(L"ROOT", folder + "/inter.sha1"), "ROOT does not hold the intermediate");

    std::printf("%d passed, %d failed\n", passes, failures);
    return failures == 0 ? 0 : 1;
}
