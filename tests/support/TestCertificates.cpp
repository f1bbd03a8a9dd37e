#include "tests/support/TestCertificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

// The authority signs with `openssl ca`, the one command of the tool that can date a
// certificate in the past.
const char kScript[] = R"(set -e
cat > ca.cnf <<'END'
[ca]
default_ca = testca
[testca]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = anything
copy_extensions = copy
unique_subject = no
[anything]
commonName = supplied
END
: > index.txt
echo 01 > serial
key="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
openssl req -x509 $key -keyout ca.key -out ca.crt -subj "/CN=Postlark Test Authority" -days 3650 \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
leaf() {
  name=$1; san=$2; shift 2
  openssl req -new $key -keyout $name.key -out $name.csr -subj "/CN=$name" -addext "subjectAltName=$san"
  openssl ca -batch -config ca.cnf -notext -cert ca.crt -keyfile ca.key -in $name.csr -out $name.crt "$@"
}
leaf good "DNS:localhost,IP:127.0.0.1" -days 365
leaf wronghost "DNS:elsewhere.invalid" -days 365
leaf expired "DNS:localhost,IP:127.0.0.1" -startdate 20200101000000Z -enddate 20210101000000Z
openssl req -x509 $key -keyout selfsigned.key -out selfsigned.crt -subj "/CN=localhost" -days 365 \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1"
)";

} // namespace

const TestCertificates& TestCertificates::Get() {
    static const TestCertificates made = [] {
        TestCertificates certificates;
        std::string dir = (std::filesystem::temp_directory_path() / "postlark-tls-XXXXXX").string();
        if (!mkdtemp(dir.data())) return certificates;
        std::ofstream(dir + "/make.sh") << kScript;
        const std::string command = "cd '" + dir + "' && sh make.sh >make.log 2>&1";
        if (std::system(command.c_str()) == 0) certificates.dir_ = dir;
        static std::string folder = dir;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        });
        return certificates;
    }();
    return made;
}

std::string TestCertificates::Fingerprint(const std::string& name) const {
    FILE* file = std::fopen((Prefix(name) + ".crt").c_str(), "r");
    if (!file) return {};
    X509* cert = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    std::string hex;
    if (cert && X509_digest(cert, EVP_sha256(), digest, &size) == 1) {
        for (unsigned i = 0; i < size; ++i) {
            hex += "0123456789abcdef"[digest[i] >> 4];
            hex += "0123456789abcdef"[digest[i] & 15];
        }
    }
    X509_free(cert);
    return hex;
}
