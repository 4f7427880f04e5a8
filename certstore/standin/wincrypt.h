#ifndef VYR_STANDIN_WINCRYPT_H
#define VYR_STANDIN_WINCRYPT_H

// The CryptoAPI certificate functions the import uses, played off Windows by a
// store of folders under a root fixed at build time. Names, types, constants
// and results are CryptoAPI's own, so the same calling code builds for both.
#include "windows.h"

typedef void *HCERTSTORE;
typedef void *HCRYPTMSG;
typedef ULONG_PTR HCRYPTPROV_LEGACY;

typedef struct _CERT_INFO CERT_INFO, *PCERT_INFO;

typedef struct _CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE *pbCertEncoded;
    DWORD cbCertEncoded;
    PCERT_INFO pCertInfo;
    HCERTSTORE hCertStore;
} CERT_CONTEXT, *PCERT_CONTEXT;
typedef const CERT_CONTEXT *PCCERT_CONTEXT;

// The stand-in decodes nothing but certificates, so these contexts are never
// handed out; they exist for callers that release whatever they were given.
typedef struct _CRL_CONTEXT CRL_CONTEXT;
typedef const CRL_CONTEXT *PCCRL_CONTEXT;
typedef struct _CTL_CONTEXT CTL_CONTEXT;
typedef const CTL_CONTEXT *PCCTL_CONTEXT;

typedef struct _CRYPTOAPI_BLOB {
    DWORD cbData;
    BYTE *pbData;
} CRYPT_DATA_BLOB, CRYPT_HASH_BLOB;

#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000

#define CERT_QUERY_OBJECT_FILE 0x00000001
#define CERT_QUERY_OBJECT_BLOB 0x00000002

#define CERT_QUERY_CONTENT_CERT 1
#define CERT_QUERY_CONTENT_CTL 2
#define CERT_QUERY_CONTENT_CRL 3
#define CERT_QUERY_CONTENT_SERIALIZED_STORE 4
#define CERT_QUERY_CONTENT_SERIALIZED_CERT 5
#define CERT_QUERY_CONTENT_SERIALIZED_CTL 6
#define CERT_QUERY_CONTENT_SERIALIZED_CRL 7
#define CERT_QUERY_CONTENT_PKCS7_SIGNED 8
#define CERT_QUERY_CONTENT_FLAG_CERT (1 << CERT_QUERY_CONTENT_CERT)
#define CERT_QUERY_CONTENT_FLAG_ALL 0x00003FFE

#define CERT_QUERY_FORMAT_BINARY 1
#define CERT_QUERY_FORMAT_BASE64_ENCODED 2
#define CERT_QUERY_FORMAT_FLAG_BINARY (1 << CERT_QUERY_FORMAT_BINARY)
#define CERT_QUERY_FORMAT_FLAG_BASE64_ENCODED (1 << CERT_QUERY_FORMAT_BASE64_ENCODED)
#define CERT_QUERY_FORMAT_FLAG_ALL 0x0000000E

#define CERT_STORE_PROV_SYSTEM_W ((LPCSTR)10)
#define CERT_STORE_PROV_SYSTEM_REGISTRY_W ((LPCSTR)13)

#define CERT_STORE_CREATE_NEW_FLAG 0x00002000
#define CERT_STORE_OPEN_EXISTING_FLAG 0x00004000
#define CERT_STORE_READONLY_FLAG 0x00008000
#define CERT_SYSTEM_STORE_LOCATION_MASK 0x00FF0000
#define CERT_SYSTEM_STORE_CURRENT_USER 0x00010000
#define CERT_SYSTEM_STORE_LOCAL_MACHINE 0x00020000

#define CERT_STORE_ADD_NEW 1
#define CERT_STORE_ADD_USE_EXISTING 2
#define CERT_STORE_ADD_REPLACE_EXISTING 3
#define CERT_STORE_ADD_ALWAYS 4

#define CERT_STORE_CTRL_COMMIT 3

#define CERT_SHA1_HASH_PROP_ID 3
#define CERT_FIND_SHA1_HASH 0x00010000

BOOL CryptQueryObject(DWORD dwObjectType, const void *pvObject,
                      DWORD dwExpectedContentTypeFlags, DWORD dwExpectedFormatTypeFlags,
                      DWORD dwFlags, DWORD *pdwMsgAndCertEncodingType, DWORD *pdwContentType,
                      DWORD *pdwFormatType, HCERTSTORE *phCertStore, HCRYPTMSG *phMsg,
                      const void **ppvContext);

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                         HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags, const void *pvPara);

BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT *ppStoreContext);

// Finds by SHA-1 thumbprint only; every other kind of search finds nothing.
PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType, DWORD dwFindFlags,
                                          DWORD dwFindType, const void *pvFindPara,
                                          PCCERT_CONTEXT pPrevCertContext);

// Frees the context, whether or not the deletion succeeds.
BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext);

// Knows the SHA-1 hash property only.
BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void *pvData,
                                       DWORD *pcbData);

// Every change is on disk, synced, before the call that made it returns, so
// there is never anything left to commit.
BOOL CertControlStore(HCERTSTORE hCertStore, DWORD dwFlags, DWORD dwCtrlType, const void *pvCtrlPara);

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
BOOL CertFreeCRLContext(PCCRL_CONTEXT pCrlContext);
BOOL CertFreeCTLContext(PCCTL_CONTEXT pCtlContext);

#endif
