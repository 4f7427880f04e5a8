// The import's CryptoAPI call sequence, built with MinGW and run under Wine
// against Wine's crypt32: what the real system stores take, and what they
// refuse; then the lookups and deletions by thumbprint over the nine bundled
// certificates, beside a foreign one.
// Usage: tst_wine_import <folder of test files> <bundle's Cert folder>, as Windows paths
#include "storeimport.h"
#include "storequery.h"

#include <windows.h>
#include <wincrypt.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
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

std::string readAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What --install, --check and --remove do, through the same Qt-free source.
void checkVerbs(const std::string &folder, const std::string &bundle)
{
    const char *roots[] = {"Vyr_Root_CA_1.cer", "Vyr_Root_CA_2.cer", "Vyr_Root_CA_3.crt", "Vyr_Root_CA_4.cer"};
    const char *intermediates[] = {"Vyr_Int_1.crt", "Vyr_Int_2.crt", "Vyr_Int_3.crt", "Vyr_Int_4.crt", "Vyr_Int_5.crt"};
    struct Bundled
    {
        std::string name;
        const wchar_t *store;
        std::string bytes;
    };
    std::vector<Bundled> nine;
    for (const char *name : roots)
        nine.push_back({name, L"ROOT", readAll(bundle + "/" + name)});
    for (const char *name : intermediates)
        nine.push_back({name, L"CA", readAll(bundle + "/" + name)});

    const std::string foreignPath = folder + "/other.der";
    const std::wstring foreignWide(foreignPath.begin(), foreignPath.end());
    check(Ps::addCertificateFileToStore(foreignWide.c_str(), L"ROOT", [] {}) == Ps::ImportResult::Added,
          "a foreign root is added");
    check(Ps::canOpenStoreForWriting(L"ROOT") && Ps::canOpenStoreForWriting(L"CA"),
          "the stores can be opened for writing");

    auto count = [&](auto query, Ps::QueryResult wanted) {
        int matching = 0;
        for (const Bundled &certificate : nine) {
            const Ps::QueryAnswer answer = query(certificate.bytes.data(), certificate.bytes.size(), certificate.store);
            const bool matches = answer.result == wanted && answer.thumbprint.size() == 40;
            if (!matches)
                std::printf("  %s in its store: result %d\n", certificate.name.c_str(), int(answer.result));
            matching += matches;
        }
        return matching;
    };
    for (const Bundled &certificate : nine) // left by an earlier run in the same prefix
        Ps::deleteCertificateFromStore(certificate.bytes.data(), certificate.bytes.size(), certificate.store);
    check(count(Ps::findCertificateInStore, Ps::QueryResult::NotFound) == 9, "check finds none of the nine at first");
    int added = 0;
    for (const Bundled &certificate : nine) {
        const std::string path = bundle + "/" + certificate.name;
        const std::wstring wide(path.begin(), path.end());
        added += Ps::addCertificateFileToStore(wide.c_str(), certificate.store, [] {}) == Ps::ImportResult::Added;
    }
    check(added == 9, "install adds the nine");
    check(count(Ps::findCertificateInStore, Ps::QueryResult::Found) == 9, "check finds all nine");
    check(count(Ps::deleteCertificateFromStore, Ps::QueryResult::Found) == 9, "remove deletes all nine");
    check(count(Ps::findCertificateInStore, Ps::QueryResult::NotFound) == 9, "check finds none after remove");
    check(count(Ps::deleteCertificateFromStore, Ps::QueryResult::NotFound) == 9, "a second remove finds none");
    check(holdsThumbprint(L"ROOT", folder + "/other.sha1"), "the foreign root survives the removal");
    const std::string text = "not a certificate";
    check(Ps::findCertificateInStore(text.data(), text.size(), L"ROOT").result == Ps::QueryResult::NotACertificate,
          "bytes that are no certificate are refused");
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <test file folder> <bundle's Cert folder>\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    const std::string bundle = argv[2];

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
        const bool added = Ps::addCertificateFileToStore(widePath.c_str(), test.store, [&] { ++announced; })
                           == Ps::ImportResult::Added;
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

    checkVerbs(folder, bundle);

    std::printf("%d passed, %d failed\n", passes, failures);
    return failures == 0 ? 0 : 1;
}
