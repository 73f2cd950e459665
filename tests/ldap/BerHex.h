// Helpers for BER tests: bytes as hex text and back, and encoding a tree.
#ifndef TESTS_LDAP_BERHEX_H_
#define TESTS_LDAP_BERHEX_H_

#include <cstdio>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "ldap/ASN1.h"

// Upper-case hex pairs separated by single spaces ("A3 09 04").
inline std::string Hex(const unsigned char* p, size_t n) {
  std::string out;
  char pair[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(pair, sizeof(pair), i == 0 ? "%02X" : " %02X", p[i]);
    out += pair;
  }
  return out;
}

inline std::vector<unsigned char> Bytes(const std::string& hex) {
  std::vector<unsigned char> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 3) {
    out.push_back(
        static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// Encodes `t` into exactly Length() bytes (checking that BerEncode fills
// them exactly) and returns them as hex text.
inline std::string EncodeHex(ASN1Type& t) {
  std::vector<unsigned char> buf(t.Length());
  unsigned char* dp = buf.data();
  t.BerEncode(dp);
  EXPECT_EQ(dp, buf.data() + buf.size()) << "BerEncode wrote a different size";
  return Hex(buf.data(), buf.size());
}

#endif  // TESTS_LDAP_BERHEX_H_
