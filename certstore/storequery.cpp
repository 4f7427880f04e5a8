// The CryptoAPI call sequences that look certificates up by thumbprint and
// delete them. Like the import, free of Qt and built unchanged against the
// real <wincrypt.h> and the stand-in.
#include "storequery.h"

#include "cryptoapihandles.h"

#include <vector>

namespace Ps {
namespace {

constexpr DWORD sha1Size = 20;
// A store that reports a deletion but still finds the certificate must not
// keep the loop going for ever.
constexpr int maxCopies = 64;

CertificatePtr decode(const void *data, std::size_t size)
{
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(size), static_cast<BYTE *>(const_cast<void *>(data))};
    const void *context = nullptr;
    if (!data || size == 0 || size > 0x7FFFFFFF
        || !CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_CERT,
                             CERT_QUERY_FORMAT_FLAG_ALL, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                             &context))
        return CertificatePtr();
    return CertificatePtr(static_cast<PCCERT_CONTEXT>(context));
}

bool sha1Of(PCCERT_CONTEXT certificate, std::vector<BYTE> &hash)
{
    DWORD size = sha1Size;
    hash.assign(sha1Size, 0);
    return CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, hash.data(), &size)
           && size == sha1Size;
}

std::string hex(const std::vector<BYTE> &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const BYTE byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

CertificatePtr findByHash(HCERTSTORE store, std::vector<BYTE> &hash)
{
    CRYPT_HASH_BLOB blob{static_cast<DWORD>(hash.size()), hash.data()};
    return CertificatePtr(CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                     CERT_FIND_SHA1_HASH, &blob, nullptr));
}

bool hashOf(const void *data, std::size_t size, std::vector<BYTE> &hash)
{
    const CertificatePtr certificate = decode(data, size);
    return certificate && sha1Of(certificate.get(), hash);
}

bool hashOf(const std::string &thumbprint, std::vector<BYTE> &hash)
{
    const auto nibble = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    if (thumbprint.size() != 2 * sha1Size)
        return false;
    hash.assign(sha1Size, 0);
    for (DWORD i = 0; i < sha1Size; ++i) {
        const int high = nibble(thumbprint[2 * i]), low = nibble(thumbprint[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        hash[i] = static_cast<BYTE>(high << 4 | low);
    }
    return true;
}

QueryAnswer find(bool known, const wchar_t *storeName, std::vector<BYTE> &hash)
{
    if (!known)
        return {QueryResult::NotACertificate, std::string()};
    QueryAnswer answer{QueryResult::Found, hex(hash)};
    const StorePtr store = openLocalMachineStore(storeName, CERT_STORE_READONLY_FLAG);
    if (!store)
        answer.result = QueryResult::StoreUnavailable;
    else if (!findByHash(handle(store), hash))
        answer.result = QueryResult::NotFound;
    return answer;
}

QueryAnswer remove(bool known, const wchar_t *storeName, std::vector<BYTE> &hash)
{
    if (!known)
        return {QueryResult::NotACertificate, std::string()};
    QueryAnswer answer{QueryResult::NotFound, hex(hash)};
    const StorePtr store = openLocalMachineRegistryStore(storeName, 0);
    if (!store) {
        answer.result = QueryResult::StoreUnavailable;
        return answer;
    }
    for (int copy = 0; copy < maxCopies; ++copy) {
        CertificatePtr found = findByHash(handle(store), hash);
        // Wine's registry stores keep deletions until told to commit them,
        // and closing does not tell them; Windows commits at once, and the
        // extra commit costs it nothing.
        if (!found) {
            if (answer.result == QueryResult::Found
                && !CertControlStore(handle(store), 0, CERT_STORE_CTRL_COMMIT, nullptr))
                answer.result = QueryResult::StoreRefused;
            return answer;
        }
        // The delete frees the context whatever it returns.
        if (!CertDeleteCertificateFromStore(found.release())) {
            answer.result = QueryResult::StoreRefused;
            return answer;
        }
        answer.result = QueryResult::Found;
    }
    answer.result = QueryResult::StoreRefused;
    return answer;
}

} // namespace

QueryAnswer findCertificateInStore(const void *data, std::size_t size, const wchar_t *storeName)
{
    std::vector<BYTE> hash;
    return find(hashOf(data, size, hash), storeName, hash);
}

QueryAnswer deleteCertificateFromStore(const void *data, std::size_t size, const wchar_t *storeName)
{
    std::vector<BYTE> hash;
    return remove(hashOf(data, size, hash), storeName, hash);
}

QueryAnswer findThumbprintInStore(const std::string &thumbprint, const wchar_t *storeName)
{
    std::vector<BYTE> hash;
    return find(hashOf(thumbprint, hash), storeName, hash);
}

QueryAnswer deleteThumbprintFromStore(const std::string &thumbprint, const wchar_t *storeName)
{
    std::vector<BYTE> hash;
    return remove(hashOf(thumbprint, hash), storeName, hash);
}

std::string certificateThumbprint(const void *data, std::size_t size)
{
    std::vector<BYTE> hash;
    return hashOf(data, size, hash) ? hex(hash) : std::string();
}

bool canOpenStoreForWriting(const wchar_t *storeName)
{
    return openLocalMachineStore(storeName, 0) != nullptr;
}

} // namespace Ps
