#include "server/vynWSOptions.h"

// Plain data: a copy of the whole object copies every option.
#define VYN_ASSIGN_ALL(T)                      \
  void T::Assign(const TPersistent& aSource) { \
    if (&aSource == this) return;              \
    *this = AssignSource<T>(aSource);          \
  }

VYN_ASSIGN_ALL(TvynOpenSSLServer_Options)
VYN_ASSIGN_ALL(TvynWSOptionsServer)
VYN_ASSIGN_ALL(TvynWSThreadPool_Options)
VYN_ASSIGN_ALL(TvynWSIOHandler_Options)
VYN_ASSIGN_ALL(TvynWSSecurity_Options)
VYN_ASSIGN_ALL(TvynWSAuthenticationServer_Options)
VYN_ASSIGN_ALL(TvynWSFallBack_Options)
VYN_ASSIGN_ALL(TvynWSQueueServer_Options)
VYN_ASSIGN_ALL(TvynWSHTTP2Server_Options)
VYN_ASSIGN_ALL(TvynHTTPUploadFilesServer)
VYN_ASSIGN_ALL(TvynWSThrottle)
VYN_ASSIGN_ALL(TvynWSLoadBalancerServer_Options)
VYN_ASSIGN_ALL(TvynWSHeartBeat_Options)
VYN_ASSIGN_ALL(TvynTCPKeepAlive)
VYN_ASSIGN_ALL(TvynWSWatchDogServer_Options)
VYN_ASSIGN_ALL(TvynWSOptimization_Options)
VYN_ASSIGN_ALL(TvynWSLogFile)
VYN_ASSIGN_ALL(TvynWSSpecifications)

#undef VYN_ASSIGN_ALL

void TvynTCPTLS_Options_Base::Assign(const TPersistent& aSource) {
  const auto& s = AssignSource<TvynTCPTLS_Options_Base>(aSource);
  if (&s == this) return;
  CertFile = s.CertFile;
  KeyFile = s.KeyFile;
  RootCertFile = s.RootCertFile;
  Password = s.Password;
  Version = s.Version;
  VerifyCertificate = s.VerifyCertificate;
  VerifyDepth = s.VerifyDepth;
}

void TvynWSSSL_Options::Assign(const TPersistent& aSource) {
  TvynTCPTLS_Options_Base::Assign(aSource);
  if (const auto* s = dynamic_cast<const TvynWSSSL_Options*>(&aSource); s && s != this) {
    Port = s->Port;
    OpenSSL_Options.Assign(s->OpenSSL_Options);
  }
}
