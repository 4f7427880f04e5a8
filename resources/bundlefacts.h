#ifndef PS_BUNDLEFACTS_H
#define PS_BUNDLEFACTS_H

// What the build's check of the bundle read from each listed certificate,
// compiled in beside the bundle: the program looks them up instead of
// decoding its own certificates. Written by bundlecheck/ for every build.
namespace Ps {

struct BundleFact
{
    const char *store; // "ROOT" or "CA"
    const char *name;  // the file name under :/Cert
    const char *sha1;  // 40 uppercase hex digits
    const char *sha256;
    const char *subject; // RFC 2253, UTF-8
    long long notBefore; // seconds since 1970, UTC
    long long notAfter;
    long long size; // bytes of the bundled file
};

extern const BundleFact bundleFacts[];
extern const int bundleFactCount;

} // namespace Ps

#endif
