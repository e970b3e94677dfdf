#include "http_api/vynHTTP_Client.h"

void TvynSocketOpenSSL_Options::Assign(const TPersistent& aSource) {
  const auto& s = AssignSource<TvynSocketOpenSSL_Options>(aSource);
  APIVersion = s.APIVersion;
  LibPath = s.LibPath;
}

void TvynSocketTLS_Options_Base::Assign(const TPersistent& aSource) {
  const auto& s = AssignSource<TvynSocketTLS_Options_Base>(aSource);
  CertFile = s.CertFile;
  KeyFile = s.KeyFile;
  Password = s.Password;
  RootCertFile = s.RootCertFile;
  Version = s.Version;
  VerifyCertificate = s.VerifyCertificate;
  VerifyDepth = s.VerifyDepth;
}

void TvynSocketTLS_Options::Assign(const TPersistent& aSource) {
  if (const auto* s = dynamic_cast<const TvynSocketTLS_Options*>(&aSource)) {
    IOHandler = s->IOHandler;
    ALPNProtocols.Assign(s->ALPNProtocols);
    OpenSSL_Options.Assign(s->OpenSSL_Options);
    return;
  }
  TvynSocketTLS_Options_Base::Assign(aSource);
}

void TvynIdHTTPTLS_Options::Assign(const TPersistent& aSource) {
  if (const auto* s = dynamic_cast<const TvynTCPTLS_Options*>(&aSource)) {
    CertFile = s->CertFile;
    KeyFile = s->KeyFile;
    Password = s->Password;
    RootCertFile = s->RootCertFile;
    Version = s->Version;
    VerifyCertificate = s->VerifyCertificate;
    IOHandler = s->IOHandler;
    ALPNProtocols.Assign(s->ALPNProtocols);
    OpenSSL_Options.Assign(s->OpenSSL_Options);
    return;
  }
  TvynSocketTLS_Options::Assign(aSource);
}

void TvynHttpLogFile::Assign(const TPersistent& aSource) {
  FileName = AssignSource<TvynHttpLogFile>(aSource).FileName;
}
