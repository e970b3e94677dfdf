// The sandbox's certificate: a fresh RSA key and a self-signed certificate
// for 127.0.0.1, ::1 and localhost, made in process through the run-time
// OpenSSL binding (no openssl command, no linked libcrypto).
#pragma once

#include <string>

namespace sandbox {

struct CertificateFiles {
  std::string CertFile;  // PEM certificate, also the root a client trusts
  std::string KeyFile;   // PEM private key, unencrypted, mode 0600
  // Certificate and key in one file, mode 0600: what a webhook receiver
  // that takes one PEM file for both is given.
  std::string CombinedFile;
};

// Writes cert.pem, key.pem and combined.pem into aFolder (which must exist). Raises
// Exception with OpenSSL's reason when the library or a step fails.
CertificateFiles MakeSelfSignedCertificate(const std::string& aFolder, int aValidDays = 30);

// aCount random bytes from OpenSSL's generator, as lower-case hex.
std::string RandomHex(int aCount);

}  // namespace sandbox
