#include "ldap/LDAPFilter.h"

#include <string>

#include "common/UString.h"
#include "gtest/gtest.h"
#include "ldap/BerHex.h"
#include "network/CaptureConsole.h"

namespace {

class LDAPFilterTest : public ::testing::Test {
 protected:
  CaptureConsole console;
};

TEST_F(LDAPFilterTest, EncodesEveryFilterChoice) {
  const struct {
    const char* text;
    const char* encoding;
  } cases[] = {
      {"(cn=abc)", "A3 09 04 02 63 6E 04 03 61 62 63"},
      {"(ab=)", "A3 06 04 02 61 62 04 00"},
      {"(cn=*)", "87 02 63 6E"},
      {"(cn=ab*c*)", "A4 0D 04 02 63 6E 30 07 80 02 61 62 81 01 63"},
      {"(cn=a*)", "A4 09 04 02 63 6E 30 03 80 01 61"},
      {"(cn=*a)", "A4 09 04 02 63 6E 30 03 82 01 61"},
      {"(cn=*a*b)", "A4 0C 04 02 63 6E 30 06 81 01 61 82 01 62"},
      {"(cn=a**b)", "A4 09 04 02 63 6E 30 03 80 01 61"},
      {"(cn=**)", "A4 06 04 02 63 6E 30 00"},
      {"(age>=30)", "A5 09 04 03 61 67 65 04 02 33 30"},
      {"(age<=30)", "A6 09 04 03 61 67 65 04 02 33 30"},
      {"(cn~=x)", "A3 08 04 03 63 6E 7E 04 01 78"},
      {"(&(a=1)(b=2))",
       "A0 10 A3 06 04 01 61 04 01 31 A3 06 04 01 62 04 01 32"},
      {"(|(a=1)(!(b=*)))", "A1 0D A3 06 04 01 61 04 01 31 A2 03 87 01 62"},
      {"(cn=\\2a\\28x\\29)", "A3 0A 04 02 63 6E 04 04 2A 28 78 29"},
      {"(cn=a\\2a*)", "A4 0A 04 02 63 6E 30 04 80 02 61 2A"},
      {"(cn=a(b)c)", "A3 0B 04 02 63 6E 04 05 61 28 62 29 63"},
      {"(cn=x)(ignored", "A3 07 04 02 63 6E 04 01 78"},
  };
  for (const auto& c : cases) {
    LDAPFilter_tx filter(c.text);
    ASSERT_EQ(filter.valid, 1) << c.text;
    EXPECT_EQ(EncodeHex(filter), c.encoding) << c.text;
  }
  EXPECT_TRUE(console.Empty());
  LDAPFilter_tx extent("(&(a=1)(bb=22))tail");
  EXPECT_EQ(extent.src_len, 15u);
  EXPECT_EQ(extent.source_str, "(&(a=1)(bb=22))");
}

TEST_F(LDAPFilterTest, RejectsMalformedText) {
  const struct {
    const char* text;
    const char* report;
  } cases[] = {
      {"(a=)", "LDAPFilter_tx: filter too short (a=)"},
      {"", "LDAPFilter_tx: filter too short "},
      {"cn=abc)", "LDAPFilter_tx: filter parse error cn=abc)"},
      {"(cn=x", "LDAPFilter_tx: filter parse error (cn=x"},
      {"(cn=x(y)", "LDAPFilter_tx: filter parse error (cn=x(y)"},
      {"(=abc)", "LDAPFilter_tx: filter parse error (=abc)"},
      {"(cnabc)", "LDAPFilter_tx: filter parse error (cnabc)"},
      {"(&(a=1) (b=2))", "LDAPFilter_tx: filter parse error  (b=2))"},
      {"(&(a=1)x)", "LDAPFilter_tx: filter too short x)"},
      {"(!(a=1)(b=2))", "LDAPFilter_tx: filter parse error (!(a=1)(b=2))"},
      {"(!    )", "LDAPFilter_tx: filter parse error     )"},
  };
  for (const auto& c : cases) {
    LDAPFilter_tx filter(c.text);
    EXPECT_EQ(filter.valid, 0) << c.text;
    EXPECT_TRUE(console.Has(c.report)) << c.text;
  }
  EXPECT_EQ(LDAPFilter_tx(nullptr).valid, 0);
  std::string deep;
  for (int i = 0; i < 100; ++i) deep = "(!" + deep;
  deep += "(a=1)" + std::string(100, ')');
  EXPECT_EQ(LDAPFilter_tx(deep.c_str()).valid, 0);
  EXPECT_EQ(LDAPFilter_tx(deep.substr(160).c_str()).valid, 1);  // 20 levels
}

// Values escaped as the voice pages escape outside input stay one literal
// value of an equality filter.
TEST_F(LDAPFilterTest, EscapedValuesStayLiteral) {
  const char* hostile = "12)(objectClass=*)\\";
  UString value;
  value.SlashHex(hostile);
  UString text;
  text.Format("(GlobalTelephoneNumber=%s)", static_cast<char*>(value));
  EXPECT_STREQ(text,
               "(GlobalTelephoneNumber=12\\29\\28objectClass=\\2A\\29\\5C)");
  LDAPFilter_tx filter(text);
  ASSERT_EQ(filter.valid, 1);
  EXPECT_EQ(filter.tag, 0xA3);
  auto* parsed = static_cast<ASN1String*>(filter.seq_list.At(1));
  EXPECT_EQ(std::string(parsed->str, parsed->length), hostile);
}

}  // namespace
