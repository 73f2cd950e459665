// Search filter of a directory search request, parsed from the parenthesised
// prefix text form, e.g. "(&(cn=ab*)(!(ou=x)))".
//
// Recognised: and "&", or "|", not "!" (exactly one sub-filter), equality
// "=", greater-or-equal ">=", less-or-equal "<=", presence "=*" and
// substrings (values containing "*"). Values may carry escapes: a backslash
// and two hexadecimal digits give one byte, which is how "(", ")", "*" and
// "\" are written inside values (UString::SlashHex writes a value so). The
// text is parsed exactly as given: no spaces are skipped. Nesting deeper than
// 64 levels is refused.
//
// A filter that cannot be parsed reports "LDAPFilter_tx: filter too short %s"
// or "LDAPFilter_tx: filter parse error %s" through the console's Print and
// leaves `valid` 0; nothing is thrown. Not locked.
#ifndef LDAP_LDAPFILTER_H_
#define LDAP_LDAPFILTER_H_

#include <cstddef>
#include <memory>
#include <string>

#include "ldap/ASN1.h"

class LDAPFilter_tx : public ASN1Sequence {
 public:
  // Parses `src_txt` (null reads as empty); the caller checks `valid`. Only a
  // valid filter may be encoded. Text after the filter's closing parenthesis
  // is not looked at.
  explicit LDAPFilter_tx(const char* src_txt);
  ~LDAPFilter_tx() override;

  // For a presence filter these measure and write the presence element;
  // otherwise they behave as ASN1Sequence.
  void BerEncode(unsigned char*& dp) override;
  unsigned long Length() override;

  std::string source_str;  // copy of this filter's text
  size_t end_of_filter;    // index of the closing ")" in source_str
  size_t src_len;          // characters of this filter, "(" to ")"
  std::unique_ptr<ASN1String> present;  // the presence element (tag 0x87)
  int valid;                            // 1 when parsing succeeded

 private:
  // A sub-filter nested `depth` levels deep.
  LDAPFilter_tx(const char* src_txt, int depth);
  bool Parse(int depth);
  bool ParseComposite(int depth);
  bool ParseSimple(size_t equals);
  void AddSubstrings(const std::string& value);
  // Reports the parse error for the text given; returns false.
  bool ParseError();

  const char* given;  // the text given, while the constructor parses it
};

#endif  // LDAP_LDAPFILTER_H_
