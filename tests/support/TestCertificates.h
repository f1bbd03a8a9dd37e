#pragma once

#include <string>

// Certificates for TLS tests, made once per test process with the openssl tool in a temporary
// folder: a private authority and, signed by it, a certificate for localhost and 127.0.0.1
// ("good"), one for another name ("wronghost") and one that expired ("expired"); besides
// them a self-signed one for localhost ("selfsigned"). Each is <Prefix(name)>.crt and .key.
class TestCertificates {
public:
    // Makes them on the first call; an empty folder when the tool failed.
    static const TestCertificates& Get();

    std::string Prefix(const std::string& name) const { return dir_ + "/" + name; }
    std::string CaFile() const { return dir_ + "/ca.crt"; }
    bool Ok() const { return !dir_.empty(); }
    // SHA-256 of the certificate, lower-case hex.
    std::string Fingerprint(const std::string& name) const;

private:
    std::string dir_;
};

// The certificates a client meets in the TLS tests and what each must give: pin, the client
// pins the certificate's own fingerprint; error, a part of the refusal, or empty when the
// connection must succeed.
struct TCertificateCase {
    const char* cert;
    bool pin;
    const char* error;
};
inline constexpr TCertificateCase kCertificateCases[] = {
    {"good", false, ""},
    {"wronghost", false, "not valid for"},
    {"expired", false, "has expired"},
    {"selfsigned", false, "is self-signed"},
    {"selfsigned", true, ""},
};
