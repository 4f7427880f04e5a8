// Any bytes at all, as a file's content handed to the stand-in's decoding.
// Beyond not crashing: whatever is accepted must survive the trip through the
// PEM text the store writes, unchanged.
#include "certdecode.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const auto decoded = Ps::CertDecode::decodeCertificate(data, size);
    if (!decoded)
        return 0;
    if (Ps::CertDecode::thumbprint(decoded->der).size() != 40)
        std::abort();
    const std::string pem = Ps::CertDecode::pemText(decoded->der);
    const auto again = Ps::CertDecode::decodeCertificate(reinterpret_cast<const unsigned char *>(pem.data()), pem.size());
    if (!again || again->der != decoded->der)
        std::abort();
    return 0;
}
