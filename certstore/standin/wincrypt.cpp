// CryptoAPI's certificate functions off Windows: a thin veneer over the
// folder store (folderstore.h). The local machine's system store NAME is the
// folder <VYR_STORE_ROOT>/NAME; this file turns CryptoAPI's names, flags,
// handles and contexts into the folder store's calls.
#include "wincrypt.h"

#include "certdecode.h"
#include "folderstore.h"

#include <algorithm>
#include <cstring>
#include <strings.h>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef VYR_STORE_ROOT
#error "VYR_STORE_ROOT must name the folder of the local machine's stores"
#endif

using Ps::CertDecode::DecodedCertificate;
namespace FolderStore = Ps::Standin::FolderStore;

namespace {

constexpr DWORD sha1Size = 20;

struct CertificateContext : CERT_CONTEXT
{
    // A context found in a store carries its bytes only; the decoded
    // certificate is filled in when a write needs it.
    mutable DecodedCertificate decoded;
};

struct Store
{
    std::string folder;
    bool readOnly;
};

// Store names are short ASCII words; anything else could leave the store root.
bool isPlainName(const std::string &name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    for (const char c : name) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')
                           || c == '_' || c == '-' || c == '.';
        if (!plain)
            return false;
    }
    return true;
}

std::string narrowName(const wchar_t *wide)
{
    std::string name;
    for (; wide && *wide; ++wide) {
        if (*wide < 0 || *wide > 0x7F)
            return std::string();
        name += static_cast<char>(*wide);
    }
    return name;
}

// wchar_t holds UTF-32 here; file names on disk are UTF-8.
std::string utf8Path(const wchar_t *wide)
{
    std::string path;
    for (; *wide; ++wide) {
        const auto c = static_cast<std::uint32_t>(*wide);
        if (c < 0x80) {
            path += static_cast<char>(c);
        } else if (c < 0x800) {
            path += static_cast<char>(0xC0 | (c >> 6));
            path += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF)
                return std::string();
            path += static_cast<char>(0xE0 | (c >> 12));
            path += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            path += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x110000) {
            path += static_cast<char>(0xF0 | (c >> 18));
            path += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            path += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            path += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            return std::string();
        }
    }
    return path;
}

std::string canonicalStoreName(const std::string &name)
{
    if (strcasecmp(name.c_str(), "ROOT") == 0)
        return "ROOT";
    if (strcasecmp(name.c_str(), "CA") == 0)
        return "CA";
    return name;
}

CertificateContext *newContext(DecodedCertificate decoded)
{
    auto *context = new CertificateContext{};
    context->decoded = std::move(decoded);
    context->dwCertEncodingType = X509_ASN_ENCODING;
    context->pbCertEncoded = context->decoded.der.data();
    context->cbCertEncoded = static_cast<DWORD>(context->decoded.der.size());
    return context;
}

// The subject's hash names a certificate's links: decoded on first need.
X509 *decodedOf(const CertificateContext *certificate)
{
    DecodedCertificate &decoded = certificate->decoded;
    if (!decoded.x509) {
        if (std::optional<DecodedCertificate> full = Ps::CertDecode::decodeCertificate(decoded.der.data(), decoded.der.size()))
            decoded.x509 = std::move(full->x509);
    }
    return decoded.x509.get();
}

} // namespace

BOOL CryptQueryObject(DWORD dwObjectType, const void *pvObject,
                      DWORD dwExpectedContentTypeFlags, DWORD dwExpectedFormatTypeFlags,
                      DWORD /*dwFlags*/, DWORD *pdwMsgAndCertEncodingType, DWORD *pdwContentType,
                      DWORD *pdwFormatType, HCERTSTORE *phCertStore, HCRYPTMSG *phMsg,
                      const void **ppvContext)
{
    // Certificates are all this stand-in decodes, and they come back as a
    // context only: no store or message is ever built.
    if (!pvObject || phCertStore || phMsg || !(dwExpectedContentTypeFlags & CERT_QUERY_CONTENT_FLAG_CERT))
        return FALSE;

    std::vector<unsigned char> bytes;
    if (dwObjectType == CERT_QUERY_OBJECT_FILE) {
        const std::string path = utf8Path(static_cast<const wchar_t *>(pvObject));
        if (path.empty() || !FolderStore::readFile(path, bytes))
            return FALSE;
    } else if (dwObjectType == CERT_QUERY_OBJECT_BLOB) {
        const auto *blob = static_cast<const CRYPT_DATA_BLOB *>(pvObject);
        if (!blob->pbData)
            return FALSE;
        bytes.assign(blob->pbData, blob->pbData + blob->cbData);
    } else {
        return FALSE;
    }

    std::optional<DecodedCertificate> decoded = Ps::CertDecode::decodeCertificate(bytes.data(), bytes.size());
    if (!decoded)
        return FALSE;
    const bool der = decoded->encoding == Ps::CertDecode::Encoding::Der;
    if (!(dwExpectedFormatTypeFlags & (der ? CERT_QUERY_FORMAT_FLAG_BINARY : CERT_QUERY_FORMAT_FLAG_BASE64_ENCODED)))
        return FALSE;

    if (pdwMsgAndCertEncodingType)
        *pdwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    if (pdwContentType)
        *pdwContentType = CERT_QUERY_CONTENT_CERT;
    if (pdwFormatType)
        *pdwFormatType = der ? CERT_QUERY_FORMAT_BINARY : CERT_QUERY_FORMAT_BASE64_ENCODED;
    if (ppvContext)
        *ppvContext = newContext(std::move(*decoded));
    return TRUE;
}

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD /*dwEncodingType*/,
                         HCRYPTPROV_LEGACY /*hCryptProv*/, DWORD dwFlags, const void *pvPara)
{
    // A folder store has no physical stores beside its own: the system
    // store and its registry store are the same folder.
    if ((lpszStoreProvider != CERT_STORE_PROV_SYSTEM_W && lpszStoreProvider != CERT_STORE_PROV_SYSTEM_REGISTRY_W)
        || !pvPara
        || (dwFlags & CERT_SYSTEM_STORE_LOCATION_MASK) != CERT_SYSTEM_STORE_LOCAL_MACHINE)
        return nullptr;
    const std::string name = canonicalStoreName(narrowName(static_cast<const wchar_t *>(pvPara)));
    if (!isPlainName(name))
        return nullptr;

    const std::string folder = std::string(VYR_STORE_ROOT) + "/" + name;
    const bool predefined = name == "ROOT" || name == "CA";
    const bool exists = FolderStore::isFolder(folder);
    const bool readOnly = dwFlags & CERT_STORE_READONLY_FLAG;
    if (exists && (dwFlags & CERT_STORE_CREATE_NEW_FLAG))
        return nullptr;
    // ROOT and CA exist on every Windows machine, if empty; reading them
    // before anything was written finds nothing, and creates nothing.
    if (!exists && predefined && readOnly)
        return new Store{folder, true};
    if (!exists && (predefined || !(dwFlags & CERT_STORE_OPEN_EXISTING_FLAG)))
        FolderStore::createFolder(folder);
    if (!FolderStore::isFolder(folder))
        return nullptr;

    // Like a non-administrator on Windows, a process that may not write the
    // store cannot open it for writing.
    if (faccessat(AT_FDCWD, folder.c_str(), readOnly ? R_OK | X_OK : R_OK | W_OK | X_OK, AT_EACCESS) != 0)
        return nullptr;
    return new Store{folder, readOnly};
}

BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT *ppStoreContext)
{
    if (ppStoreContext)
        *ppStoreContext = nullptr;
    const auto *store = static_cast<const Store *>(hCertStore);
    const auto *certificate = static_cast<const CertificateContext *>(pCertContext);
    if (!store || !certificate || store->readOnly)
        return FALSE;

    const std::string fileName = Ps::CertDecode::thumbprint(certificate->decoded.der) + ".crt";
    struct stat info;
    const bool present = lstat((store->folder + "/" + fileName).c_str(), &info) == 0;
    switch (dwAddDisposition) {
    case CERT_STORE_ADD_NEW:
        if (present)
            return FALSE;
        break;
    case CERT_STORE_ADD_USE_EXISTING:
    case CERT_STORE_ADD_REPLACE_EXISTING:
    case CERT_STORE_ADD_ALWAYS:
        // Entries are keyed by thumbprint: one file, whatever the disposition,
        // and the same bytes are never written twice.
        break;
    default:
        return FALSE;
    }

    const std::string pem = Ps::CertDecode::pemText(certificate->decoded.der);
    X509 *x509 = decodedOf(certificate);
    if (pem.empty() || !x509 || !FolderStore::add(store->folder, fileName, pem, x509))
        return FALSE;

    if (ppStoreContext)
        *ppStoreContext = newContext(DecodedCertificate{nullptr, certificate->decoded.der, certificate->decoded.encoding});
    return TRUE;
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD /*dwCertEncodingType*/,
                                          DWORD /*dwFindFlags*/, DWORD dwFindType, const void *pvFindPara,
                                          PCCERT_CONTEXT pPrevCertContext)
{
    // A thumbprint names one file, so there is never a next match.
    if (pPrevCertContext) {
        CertFreeCertificateContext(pPrevCertContext);
        return nullptr;
    }
    const auto *blob = static_cast<const CRYPT_HASH_BLOB *>(pvFindPara);
    if (!hCertStore || dwFindType != CERT_FIND_SHA1_HASH || !blob || !blob->pbData || blob->cbData != sha1Size)
        return nullptr;
    const std::string thumbprint = Ps::CertDecode::upperHex(blob->pbData, blob->cbData);

    std::vector<unsigned char> bytes;
    if (!FolderStore::readFile(static_cast<Store *>(hCertStore)->folder + "/" + thumbprint + ".crt", bytes))
        return nullptr;
    // Our files were decoded when they were added: a lookup only hashes them.
    // A file renamed by hand to another certificate's thumbprint is not that certificate.
    std::optional<std::vector<unsigned char>> der = Ps::CertDecode::encodedCertificate(bytes.data(), bytes.size());
    if (!der || Ps::CertDecode::thumbprint(*der) != thumbprint)
        return nullptr;
    CertificateContext *context = newContext(DecodedCertificate{nullptr, std::move(*der), Ps::CertDecode::Encoding::Pem});
    context->hCertStore = hCertStore;
    return context;
}

BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext)
{
    const auto *certificate = static_cast<const CertificateContext *>(pCertContext);
    const auto *store = certificate ? static_cast<const Store *>(certificate->hCertStore) : nullptr;
    const bool deleted = store && !store->readOnly && decodedOf(certificate)
                         && FolderStore::remove(store->folder, Ps::CertDecode::thumbprint(certificate->decoded.der) + ".crt",
                                            certificate->decoded.x509.get(),
                                            Ps::CertDecode::pemText(certificate->decoded.der));
    CertFreeCertificateContext(pCertContext);
    return deleted ? TRUE : FALSE;
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void *pvData, DWORD *pcbData)
{
    const auto *certificate = static_cast<const CertificateContext *>(pCertContext);
    if (!certificate || !pcbData || dwPropId != CERT_SHA1_HASH_PROP_ID)
        return FALSE;
    const bool fits = pvData && *pcbData >= sha1Size;
    const bool sizeOnly = !pvData;
    *pcbData = sha1Size;
    if (sizeOnly)
        return TRUE;
    if (!fits)
        return FALSE;
    const std::vector<unsigned char> digest = Ps::CertDecode::sha1(certificate->decoded.der);
    std::copy(digest.begin(), digest.end(), static_cast<unsigned char *>(pvData));
    return digest.size() == sha1Size;
}

BOOL CertControlStore(HCERTSTORE hCertStore, DWORD /*dwFlags*/, DWORD dwCtrlType, const void * /*pvCtrlPara*/)
{
    return hCertStore && dwCtrlType == CERT_STORE_CTRL_COMMIT;
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD /*dwFlags*/)
{
    delete static_cast<Store *>(hCertStore);
    return TRUE;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext)
{
    delete static_cast<const CertificateContext *>(pCertContext);
    return TRUE;
}

// No CRL or CTL context is ever handed out here, so there is never one to free.
BOOL CertFreeCRLContext(PCCRL_CONTEXT pCrlContext)
{
    return pCrlContext == nullptr;
}

BOOL CertFreeCTLContext(PCCTL_CONTEXT pCtlContext)
{
    return pCtlContext == nullptr;
}
