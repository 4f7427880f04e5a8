// Says whether Windows trusts a file's Authenticode signature:
// WinVerifyTrust with no UI and no revocation check, then the Authenticode
// chain policy asked directly on the signer's chain, because Wine 8 answers
// success for a SHA-256 leaf without applying that policy.
// Usage: trust_probe <file>     prints "trusted" (exit 0) or "untrusted ..." (exit 1)
#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char *argv[])
{
    if (argc != 2)
        return 2;
    const std::wstring path(argv[1], argv[1] + std::strlen(argv[1]));
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG status = WinVerifyTrust(nullptr, &action, &data);

    DWORD policy = DWORD(-1);
    if (status == ERROR_SUCCESS) {
        CRYPT_PROVIDER_DATA *provider = WTHelperProvDataFromStateData(data.hWVTStateData);
        CRYPT_PROVIDER_SGNR *signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        if (signer && signer->pChainContext) {
            CERT_CHAIN_POLICY_PARA parameters{};
            parameters.cbSize = sizeof parameters;
            CERT_CHAIN_POLICY_STATUS verdict{};
            verdict.cbSize = sizeof verdict;
            if (CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, signer->pChainContext, &parameters,
                                                 &verdict))
                policy = verdict.dwError;
        }
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(nullptr, &action, &data);

    const bool trusted = status == ERROR_SUCCESS && policy == ERROR_SUCCESS;
    if (trusted)
        std::puts("trusted");
    else
        std::printf("untrusted %08lx %08lx\n", static_cast<unsigned long>(status), static_cast<unsigned long>(policy));
    return trusted ? 0 : 1;
}
