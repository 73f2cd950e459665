#include "ldap/ASN1.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "kernel/OSConsole.h"

namespace {

// Value of one hexadecimal digit, or -1.
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Number of two's-complement octets needed for `v` (1 to 4).
int IntegerOctets(int v) {
  if (v >= 0) {
    if (v < 0x80) return 1;
    if (v < 0x8000) return 2;
    if (v < 0x800000) return 3;
    return 4;
  }
  if (v >= -0x80) return 1;
  if (v >= -0x8000) return 2;
  if (v >= -0x800000) return 3;
  return 4;
}

}  // namespace

// ---------------------------------------------------------------- ASN1Type

ASN1Type::ASN1Type(unsigned char Atag)
    : tag(Atag), lenlen(1), length(0), coded_length{}, malformed(false) {}

unsigned long ASN1Type::Length() { return length + lenlen + 1; }

void ASN1Type::SetLength(unsigned long l) {
  length = l;
  if (l <= 127) {
    lenlen = 1;
    coded_length[0] = static_cast<unsigned char>(l);
    return;
  }
  int n = 1;
  if (l & 0xFF000000UL) {
    n = 4;
  } else if (l & 0x00FF0000UL) {
    n = 3;
  } else if (l & 0x0000FF00UL) {
    n = 2;
  }
  lenlen = n + 1;
  coded_length[0] = static_cast<unsigned char>(0x80 | n);
  for (int i = 0; i < n; ++i) {
    coded_length[1 + i] = static_cast<unsigned char>(l >> (8 * (n - 1 - i)));
  }
}

void ASN1Type::BerHdr(unsigned char*& dp) {
  *dp++ = tag;
  std::memcpy(dp, coded_length, lenlen);
  dp += lenlen;
}

int ASN1Type::GetLenLen(unsigned char* dp) {
  return (*dp & 0x80) ? (*dp & 0x7F) + 1 : 1;
}

bool ASN1Type::GetLen(unsigned char* dp, const unsigned char* end) {
  if (dp >= end) {
    Console->Print("ASN1Type::GetLen: length missing at end of message\r\n");
    malformed = true;
    return false;
  }
  if ((*dp & 0x80) == 0) {
    lenlen = 1;
    length = *dp;
    return true;
  }
  const int n = *dp & 0x7F;
  if (n == 0) {
    Console->Print("ASN1Type::GetLen: indefinite length not supported\r\n");
    malformed = true;
    return false;
  }
  if (n + 1 > 5) {
    Console->Print("ASN1Type::GetLen: length too long: %d\r\n", n + 1);
    malformed = true;
    return false;
  }
  if (end - dp < n + 1) {
    Console->Print("ASN1Type::GetLen: length octets beyond end of message\r\n");
    malformed = true;
    return false;
  }
  unsigned long l = 0;
  for (int i = 1; i <= n; ++i) l = (l << 8) | dp[i];
  lenlen = n + 1;
  length = l;
  return true;
}

bool ASN1Type::GetHdr(unsigned char*& dp, const unsigned char* end) {
  if (dp >= end) {
    Console->Print("ASN1Type::GetHdr: element missing at end of message\r\n");
    malformed = true;
    return false;
  }
  tag = *dp;
  if (!GetLen(dp + 1, end)) return false;
  unsigned char* content = dp + 1 + lenlen;
  if (length > static_cast<unsigned long>(end - content)) {
    Console->Print(
        "ASN1Type::GetHdr: element of %lu octets overruns message\r\n", length);
    malformed = true;
    return false;
  }
  dp = content;
  return true;
}

// ---------------------------------------------------------------- ASN1Null

ASN1Null::ASN1Null() : ASN1Type(0x05) { SetLength(0); }

void ASN1Null::BerEncode(unsigned char*& dp) {
  *dp++ = tag;
  *dp++ = 0x00;
}

// ------------------------------------------------- ASN1Integer and kin

ASN1Integer::ASN1Integer(int v) : ASN1Type(0x02), coded_val{}, val(v) {
  const int count = IntegerOctets(v);
  const uint32_t u = static_cast<uint32_t>(v);
  for (int i = 0; i < count; ++i) {
    coded_val[i] = static_cast<unsigned char>(u >> (8 * (count - 1 - i)));
  }
  SetLength(count);
}

ASN1Integer::ASN1Integer(unsigned char*& dp, const unsigned char* end)
    : ASN1Type(0x02), coded_val{}, val(0) {
  if (dp >= end) {
    Console->Print("ASN1Integer::ASN1Integer: missing at end of message\r\n");
    malformed = true;
    return;
  }
  tag = *dp++;
  if (tag != 0x01 && tag != 0x02 && tag != 0x0A) {
    Console->Print("ASN1Integer::ASN1Integer: unexpected tag: 0x%02x\r\n", tag);
    malformed = true;
    return;
  }
  if (!GetLen(dp, end)) {
    dp = const_cast<unsigned char*>(end);
    return;
  }
  if (length < 1 || length > 4) {
    Console->Print("ASN1Integer::ASN1Integer: invalid length %d\r\n",
                   static_cast<int>(length));
    malformed = true;
    return;
  }
  unsigned char* content = dp + lenlen;
  if (length > static_cast<unsigned long>(end - content)) {
    Console->Print("ASN1Integer::ASN1Integer: truncated at end of message\r\n");
    malformed = true;
    dp = const_cast<unsigned char*>(end);
    return;
  }
  uint32_t u = (content[0] & 0x80) ? 0xFFFFFFFFu : 0u;
  for (unsigned long i = 0; i < length; ++i) {
    coded_val[i] = content[i];
    u = (u << 8) | content[i];
  }
  val = static_cast<int>(u);
  dp = content + length;
}

void ASN1Integer::BerEncode(unsigned char*& dp) {
  BerHdr(dp);
  std::memcpy(dp, coded_val, length);
  dp += length;
}

ASN1Enumerated::ASN1Enumerated(int v) : ASN1Integer(v) { SetTag(0x0A); }

ASN1Boolean::ASN1Boolean(int v) : ASN1Integer(v) { SetTag(0x01); }

// -------------------------------------------------------------- ASN1String

ASN1String::ASN1String(const char* s, int escaped) : ASN1Type(0x04) {
  if (s == nullptr) s = "";
  const size_t n = std::strlen(s);
  str = new char[n + 1];
  size_t out = 0;
  size_t i = 0;
  while (i < n) {
    if (!escaped || s[i] != '\\') {
      str[out++] = s[i++];
      continue;
    }
    // A backslash and up to two following characters, never past the text.
    const size_t avail = n - i - 1 < 2 ? n - i - 1 : 2;
    int value = 0;
    bool sound = avail == 2;
    for (size_t k = 0; k < avail; ++k) {
      const int d = HexDigit(s[i + 1 + k]);
      if (d < 0) {
        sound = false;
        break;
      }
      value = value * 16 + d;
    }
    if (!sound) {
      const std::string escape(s + i, 1 + avail);
      Console->Print("ASN1String::ASN1String: invalid hex escape sequence %s",
                     escape.c_str());
    }
    str[out++] = static_cast<char>(value);
    i += 1 + avail;
  }
  str[out] = '\0';
  SetLength(out);
}

ASN1String::ASN1String(const unsigned char* p, unsigned long n)
    : ASN1Type(0x04), str(new char[n + 1]) {
  if (n > 0) std::memcpy(str, p, n);
  str[n] = '\0';
  SetLength(n);
}

ASN1String::ASN1String(unsigned char*& dp, const unsigned char* end)
    : ASN1Type(0x04), str(nullptr) {
  unsigned char* p = dp;
  if (!GetHdr(p, end)) {
    str = new char[1]{'\0'};
    SetLength(0);
    dp = const_cast<unsigned char*>(end);
    return;
  }
  str = new char[length + 1];
  std::memcpy(str, p, length);
  str[length] = '\0';
  dp = p + length;
}

ASN1String::~ASN1String() { delete[] str; }

void ASN1String::BerEncode(unsigned char*& dp) {
  BerHdr(dp);
  std::memcpy(dp, str, length);
  dp += length;
}

// ------------------------------------------------------------ ASN1Sequence

ASN1Sequence::ASN1Sequence() : ASN1Type(0x30), seq_list(0) { SetLength(0); }

ASN1Sequence::~ASN1Sequence() {
  // Taken out from the front, so that each removal finds its link at once.
  for (ASN1Type* child : seq_list) {
    seq_list.Remove(child);
    delete child;
  }
}

void ASN1Sequence::Add2Seq(ASN1Type* t) {
  if (t == nullptr) {
    Console->Fatal("ASN1Sequence::Add2Seq: attempt to add null object");
  }
  seq_list.Append(t);
}

unsigned long ASN1Sequence::Length() {
  unsigned long sum = 0;
  for (ASN1Type* child : seq_list) sum += child->Length();
  SetLength(sum);
  return length + lenlen + 1;
}

void ASN1Sequence::BerEncode(unsigned char*& dp) {
  BerHdr(dp);
  for (ASN1Type* child : seq_list) child->BerEncode(dp);
}

ASN1Set::ASN1Set() { SetTag(0x31); }
