#include "TestCertificates.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace standin {

namespace {

constexpr long VALID_BEFORE_NOW_SECONDS = 3600;
constexpr long VALID_DAYS = 30;

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct BnFree {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};
struct FileClose {
    void operator()(FILE* file) const { fclose(file); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
using FilePtr = std::unique_ptr<FILE, FileClose>;

// The reason OpenSSL gives for its latest failure, after |_what|.
std::string opensslError(const std::string& _what) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return _what;
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return _what + ": " + text;
}

// A fresh P-256 key pair; null on failure.
PkeyPtr newKey() {
    return PkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
}

// Adds the extension |_nid| with the configuration text |_value|, in the
// context of |_issuer| signing |_subject|.
bool addExtension(X509* _issuer, X509* _subject, int _nid, const char* _value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, _issuer, _subject, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_nconf_nid(nullptr, &context, _nid, _value);
    if (extension == nullptr) {
        return false;
    }
    const bool added = X509_add_ext(_subject, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A certificate for |_key| named |_commonName|, with a random serial number and
// the validity window; neither issuer nor extensions yet. Null on failure.
X509Ptr newCertificate(EVP_PKEY* _key, const char* _commonName) {
    X509Ptr cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1) {
        return nullptr;
    }
    BnPtr serial(BN_new());
    if (!serial || BN_rand(serial.get(), 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
        BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) == nullptr) {
        return nullptr;
    }
    if (X509_gmtime_adj(X509_getm_notBefore(cert.get()), -VALID_BEFORE_NOW_SECONDS) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), VALID_DAYS * 24 * 3600) == nullptr) {
        return nullptr;
    }
    X509_NAME* name = X509_get_subject_name(cert.get());
    const auto* organisation = reinterpret_cast<const unsigned char*>("Vantrel stand-in");
    const auto* common = reinterpret_cast<const unsigned char*>(_commonName);
    if (X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, organisation, -1, -1, 0) != 1 ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, common, -1, -1, 0) != 1 ||
        X509_set_pubkey(cert.get(), _key) != 1) {
        return nullptr;
    }
    return cert;
}

// A self-signed CA certificate for |_key|; null on failure.
X509Ptr newAuthority(EVP_PKEY* _key) {
    X509Ptr cert = newCertificate(_key, "Vantrel stand-in test CA");
    if (!cert || X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get())) != 1) {
        return nullptr;
    }
    X509* c = cert.get();
    if (!addExtension(c, c, NID_basic_constraints, "critical,CA:TRUE") ||
        !addExtension(c, c, NID_key_usage, "critical,keyCertSign,cRLSign") ||
        !addExtension(c, c, NID_subject_key_identifier, "hash") ||
        !addExtension(c, c, NID_authority_key_identifier, "keyid:always") ||
        X509_sign(c, _key, EVP_sha256()) == 0) {
        return nullptr;
    }
    return cert;
}

// A server certificate for |_key| and 127.0.0.1/localhost, signed by
// |_caCert| with |_caKey|; null on failure.
X509Ptr newServerCertificate(EVP_PKEY* _key, X509* _caCert, EVP_PKEY* _caKey) {
    X509Ptr cert = newCertificate(_key, "localhost");
    if (!cert || X509_set_issuer_name(cert.get(), X509_get_subject_name(_caCert)) != 1) {
        return nullptr;
    }
    X509* c = cert.get();
    if (!addExtension(_caCert, c, NID_basic_constraints, "critical,CA:FALSE") ||
        !addExtension(_caCert, c, NID_key_usage, "critical,digitalSignature") ||
        !addExtension(_caCert, c, NID_ext_key_usage, "serverAuth") ||
        !addExtension(_caCert, c, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost") ||
        !addExtension(_caCert, c, NID_subject_key_identifier, "hash") ||
        !addExtension(_caCert, c, NID_authority_key_identifier, "keyid,issuer") ||
        X509_sign(c, _caKey, EVP_sha256()) == 0) {
        return nullptr;
    }
    return cert;
}

// Opens |_path| for writing, created with |_mode| or truncated; the mode is
// applied to an existing file too.
FilePtr openForWriting(const std::string& _path, mode_t _mode) {
    const int fd = open(_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, _mode);
    if (fd < 0) {
        return nullptr;
    }
    if (fchmod(fd, _mode) != 0) {
        close(fd);
        return nullptr;
    }
    FILE* file = fdopen(fd, "w");
    if (file == nullptr) {
        close(fd);
    }
    return FilePtr(file);
}

bool writeCertificate(const std::string& _path, X509* _cert) {
    FilePtr file = openForWriting(_path, 0644);
    if (!file || PEM_write_X509(file.get(), _cert) != 1) {
        return false;
    }
    return fflush(file.get()) == 0;
}

bool writePrivateKey(const std::string& _path, EVP_PKEY* _key) {
    FilePtr file = openForWriting(_path, 0600);
    if (!file ||
        PEM_write_PrivateKey(file.get(), _key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        return false;
    }
    return fflush(file.get()) == 0;
}

}  // namespace

bool generateCertificates(const std::string& _dir, std::string& _error) {
    PkeyPtr caKey = newKey();
    PkeyPtr serverKey = newKey();
    if (!caKey || !serverKey) {
        _error = opensslError("cannot generate a key");
        return false;
    }
    X509Ptr caCert = newAuthority(caKey.get());
    if (!caCert) {
        _error = opensslError("cannot create the CA certificate");
        return false;
    }
    X509Ptr serverCert = newServerCertificate(serverKey.get(), caCert.get(), caKey.get());
    if (!serverCert) {
        _error = opensslError("cannot create the server certificate");
        return false;
    }
    const std::string base = _dir + "/";
    if (!writeCertificate(base + CA_CERT_FILE, caCert.get()) ||
        !writeCertificate(base + SERVER_CERT_FILE, serverCert.get()) ||
        !writePrivateKey(base + SERVER_KEY_FILE, serverKey.get())) {
        _error = "cannot write the certificate files into " + _dir;
        return false;
    }
    return true;
}

bool generateUnrelatedCa(const std::string& _dir, std::string& _error) {
    PkeyPtr caKey = newKey();
    if (!caKey) {
        _error = opensslError("cannot generate a key");
        return false;
    }
    X509Ptr caCert = newAuthority(caKey.get());
    if (!caCert) {
        _error = opensslError("cannot create the CA certificate");
        return false;
    }
    if (!writeCertificate(_dir + "/" + CA_CERT_FILE, caCert.get())) {
        _error = "cannot write " + _dir + "/" + CA_CERT_FILE;
        return false;
    }
    return true;
}

bool certificatesPresent(const std::string& _dir) {
    for (const char* name : {CA_CERT_FILE, SERVER_CERT_FILE, SERVER_KEY_FILE}) {
        struct stat status;
        const std::string path = _dir + "/" + name;
        if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
            return false;
        }
    }
    return true;
}

}  // namespace standin
