// NTLM version 1 computed in process, with DES from the crypto library.
#include <gtest/gtest.h>

#include "transport/vynIdAuthentication.h"
#include "transport/vynIdCoderMIME.h"
#include "transport/vynIdHash.h"

namespace {

std::string Hex(const TIdBytes& b) { return TIdHashSHA1().DigestToHex(b); }

std::uint16_t Le16(const TIdBytes& b, std::size_t at) { return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8); }
std::uint32_t Le32(const TIdBytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// The bytes a buffer field at AAt points to.
TIdBytes Field(const TIdBytes& AMsg, std::size_t AAt) {
  std::size_t len = Le16(AMsg, AAt), off = Le32(AMsg, AAt + 4);
  EXPECT_EQ(Le16(AMsg, AAt + 2), len);
  EXPECT_LE(off + len, AMsg.size());
  return TIdBytes(AMsg.begin() + static_cast<std::ptrdiff_t>(off),
                  AMsg.begin() + static_cast<std::ptrdiff_t>(off + len));
}

TIdBytes U16(std::string_view ascii) {
  TIdBytes out;
  for (char c : ascii) {
    out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(0);
  }
  return out;
}

constexpr std::uint8_t kChallenge[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

// A type 2 message carrying kChallenge at offset 24.
std::string ChallengeToken() {
  TIdBytes msg(48, 0);
  const char sig[] = "NTLMSSP";
  std::copy(sig, sig + 8, msg.begin());
  msg[8] = 2;
  std::copy(std::begin(kChallenge), std::end(kChallenge), msg.begin() + 24);
  return TIdEncoderMIME::EncodeBytes(msg);
}

TEST(NTLM, ResponsesOfThePublishedExample) {
  // MS-NLMP 4.2.2: password "Password", server challenge 0123456789ABCDEF.
  TIdNTLMAuthentication make_sure_the_library_loads;
  TIdBytes lm, nt;
  detail::NTLMv1Responses("Password", kChallenge, lm, nt);
  EXPECT_EQ(Hex(nt), "67C43011F30298A2AD35ECE64F16331C44BDBED927841F94");
  EXPECT_EQ(Hex(lm), "98DEF7B87F88AA5DAFE2DF779688A172DEF11C7D5CCDEF13");
}

TEST(NTLM, NegotiateMessageLayout) {
  TIdBytes msg = detail::NTLMNegotiateMessage("dom", "pc");
  ASSERT_EQ(msg.size(), 37u);
  EXPECT_EQ(std::string(msg.begin(), msg.begin() + 8), std::string("NTLMSSP\0", 8));
  EXPECT_EQ(Le32(msg, 8), 1u);
  EXPECT_EQ(Le32(msg, 12), 0xB207u);
  EXPECT_EQ(Le32(msg, 20), 32u);
  EXPECT_EQ(Le32(msg, 28), 35u);
  EXPECT_EQ(Field(msg, 16), (TIdBytes{'D', 'O', 'M'}));
  EXPECT_EQ(Field(msg, 24), (TIdBytes{'P', 'C'}));
}

TEST(NTLM, UserNameSplitsAtTheBackslash) {
  TIdNTLMAuthentication auth;
  auth.SetUsername("DOM\\jo");
  EXPECT_EQ(auth.Domain(), "DOM");
  EXPECT_EQ(auth.User(), "jo");
  auth.SetUsername("plain");
  EXPECT_EQ(auth.Domain(), "");
  EXPECT_EQ(auth.User(), "plain");
}

TEST(NTLM, ExchangeSteps) {
  TIdNTLMAuthentication auth;
  EXPECT_EQ(auth.Steps(), 3);
  EXPECT_TRUE(auth.KeepAlive());
  EXPECT_EQ(auth.Next(), TIdAuthWhatsNext::wnAskTheProgram);
  auth.SetUsername("Domain\\User");
  auth.SetPassword("Password");
  EXPECT_EQ(auth.Next(), TIdAuthWhatsNext::wnDoRequest);
  std::string negotiate = auth.Authentication();
  ASSERT_EQ(negotiate.rfind("NTLM ", 0), 0u);
  TIdBytes msg1 = TIdDecoderMIME::DecodeBytes(negotiate.substr(5));
  EXPECT_EQ(Le32(msg1, 8), 1u);
  EXPECT_EQ(Field(msg1, 16), (TIdBytes{'D', 'O', 'M', 'A', 'I', 'N'}));

  TStringList lines;
  lines.Add("Basic realm=\"x\"");
  lines.Add("NTLM " + ChallengeToken());
  auth.SetAuthParams(lines);
  EXPECT_EQ(auth.Next(), TIdAuthWhatsNext::wnDoRequest);
  EXPECT_EQ(auth.CurrentStep(), 2);
  std::string answer = auth.Authentication();
  ASSERT_EQ(answer.rfind("NTLM ", 0), 0u);
  TIdBytes msg3 = TIdDecoderMIME::DecodeBytes(answer.substr(5));
  EXPECT_EQ(Le32(msg3, 8), 3u);
  EXPECT_EQ(Le32(msg3, 60), 0x18205u);
  EXPECT_EQ(Le32(msg3, 16), 64u);
  EXPECT_EQ(Hex(Field(msg3, 20)), "67C43011F30298A2AD35ECE64F16331C44BDBED927841F94");
  EXPECT_EQ(Field(msg3, 28), U16("DOMAIN"));
  EXPECT_EQ(Field(msg3, 36), U16("User"));
  EXPECT_EQ(Le16(msg3, 52), 0u);
  EXPECT_EQ(Le32(msg3, 56), msg3.size());

  EXPECT_EQ(auth.Next(), TIdAuthWhatsNext::wnDoRequest);
  EXPECT_EQ(auth.CurrentStep(), 3);
  EXPECT_EQ(auth.Authentication(), "");
  EXPECT_EQ(auth.Next(), TIdAuthWhatsNext::wnFail);
  EXPECT_EQ(auth.CurrentStep(), 0);
}

TEST(NTLM, MissingOrShortServerTokenAbortsSilently) {
  for (std::string line : {std::string("NTLM"), std::string("NTLM ") + TIdEncoderMIME::EncodeString("NTLMSSP short")}) {
    TIdNTLMAuthentication auth;
    auth.SetUsername("u");
    auth.Next();
    auth.Authentication();
    TStringList lines;
    lines.Add(line);
    auth.SetAuthParams(lines);
    auth.Next();
    EXPECT_THROW(auth.Authentication(), EIdSilentException) << line;
    EXPECT_EQ(auth.CurrentStep(), 0);
  }
}

TEST(NTLM, Registered) { EXPECT_EQ(FindAuthScheme("ntlm"), detail::AuthClassOf<TIdNTLMAuthentication>); }

}  // namespace
