// Throwaway certificates for the stand-in service: a certificate authority
// made for one run and a server certificate it signs for 127.0.0.1 and
// localhost. They protect nothing; they exist so that the agent can talk to
// the stand-in over HTTPS with certificate verification switched on. The
// files belong to the folder the caller names; the CA's private key is never
// written anywhere, so nothing else can be signed with it.
#ifndef VANTREL_STANDIN_TESTCERTIFICATES_H
#define VANTREL_STANDIN_TESTCERTIFICATES_H

#include <string>

namespace standin {

// File names inside a certificate folder.
constexpr const char* CA_CERT_FILE = "ca.pem";
constexpr const char* SERVER_CERT_FILE = "server.pem";
constexpr const char* SERVER_KEY_FILE = "server-key.pem";

// Creates a new EC P-256 certificate authority and a server certificate signed
// by it (subjectAltName IP 127.0.0.1 and DNS localhost, valid from an hour ago
// for 30 days) and writes ca.pem, server.pem and server-key.pem (mode 0600)
// into the existing folder |_dir|, replacing older files. Returns false with
// the reason in |_error| when a step fails.
bool generateCertificates(const std::string& _dir, std::string& _error);

// Creates a certificate authority unrelated to any other and writes only its
// certificate, as ca.pem, into |_dir|. Trusting it must make a connection to a
// server whose certificate another authority signed fail. Returns false with
// the reason in |_error| when a step fails.
bool generateUnrelatedCa(const std::string& _dir, std::string& _error);

// True when ca.pem, server.pem and server-key.pem all exist in |_dir|.
bool certificatesPresent(const std::string& _dir);

}  // namespace standin

#endif  // VANTREL_STANDIN_TESTCERTIFICATES_H
