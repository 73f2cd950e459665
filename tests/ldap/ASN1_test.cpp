#include "ldap/ASN1.h"

#include <climits>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "ldap/BerHex.h"
#include "network/CaptureConsole.h"

namespace {

class ASN1Test : public ::testing::Test {
 protected:
  CaptureConsole console;
};

TEST_F(ASN1Test, LengthOctetsUseTheShortestForm) {
  const struct {
    unsigned long length;
    const char* octets;
  } cases[] = {{0, "00"},
               {127, "7F"},
               {128, "81 80"},
               {255, "81 FF"},
               {256, "82 01 00"},
               {300, "82 01 2C"},
               {65535, "82 FF FF"},
               {65536, "83 01 00 00"},
               {0x1000000UL, "84 01 00 00 00"},
               {0xFFFFFFFFUL, "84 FF FF FF FF"}};
  for (const auto& c : cases) {
    ASN1Null element;
    element.SetLength(c.length);
    EXPECT_EQ(Hex(element.coded_length, element.lenlen), c.octets) << c.length;
    EXPECT_EQ(element.Length(), c.length + element.lenlen + 1) << c.length;
  }
}

TEST_F(ASN1Test, IntegersRoundTripInTheShortestForm) {
  const struct {
    int value;
    const char* encoding;
  } cases[] = {{0, "02 01 00"},
               {127, "02 01 7F"},
               {128, "02 02 00 80"},
               {256, "02 02 01 00"},
               {32768, "02 03 00 80 00"},
               {0x7FFFFF, "02 03 7F FF FF"},
               {0x800000, "02 04 00 80 00 00"},
               {INT_MAX, "02 04 7F FF FF FF"},
               {-1, "02 01 FF"},
               {-128, "02 01 80"},
               {-129, "02 02 FF 7F"},
               {-32768, "02 02 80 00"},
               {-32769, "02 03 FF 7F FF"},
               {-8388608, "02 03 80 00 00"},
               {-8388609, "02 04 FF 7F FF FF"},
               {INT_MIN, "02 04 80 00 00 00"}};
  for (const auto& c : cases) {
    ASN1Integer integer(c.value);
    EXPECT_EQ(EncodeHex(integer), c.encoding) << c.value;
    std::vector<unsigned char> bytes = Bytes(c.encoding);
    bytes.push_back(0x99);  // the next element is not consumed
    unsigned char* dp = bytes.data();
    ASN1Integer decoded(dp, bytes.data() + bytes.size());
    EXPECT_TRUE(decoded == integer) << c.value;
    EXPECT_EQ(*dp, 0x99) << c.value;
  }
  const struct {
    const char* bytes;
    int value;
  } decodings[] = {{"02 02 00 FF", 255}, {"01 01 FF", -1}, {"0A 01 03", 3}};
  for (const auto& c : decodings) {
    std::vector<unsigned char> bytes = Bytes(c.bytes);
    unsigned char* dp = bytes.data();
    EXPECT_EQ(ASN1Integer(dp, bytes.data() + bytes.size()).val, c.value)
        << c.bytes;
  }
}

TEST_F(ASN1Test, EncodesElementsAndNestedSequences) {
  ASN1Null unbind;
  unbind.SetTag(0x42);
  ASN1String context("abc");
  context.SetTag(0x80);
  ASN1Sequence empty;
  ASN1Sequence outer;
  outer.Add2Seq(new ASN1Integer(5));
  ASN1Set* inner = new ASN1Set;
  outer.Add2Seq(inner);
  inner->Add2Seq(new ASN1String("a"));
  const unsigned char counted[] = {0x00, 0xFF, 0x5C};
  const struct {
    ASN1Type* element;
    const char* encoding;
  } cases[] = {{new ASN1Enumerated(2), "0A 01 02"},
               {new ASN1Boolean(1), "01 01 01"},
               {new ASN1Boolean(0), "01 01 00"},
               {new ASN1Null, "05 00"},
               {new ASN1Set, "31 00"},
               {new ASN1String(counted, 3), "04 03 00 FF 5C"}};
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeHex(*c.element), c.encoding);
    delete c.element;
  }
  EXPECT_EQ(EncodeHex(unbind), "42 00");
  EXPECT_EQ(EncodeHex(context), "80 03 61 62 63");
  EXPECT_EQ(EncodeHex(empty), "30 00");
  EXPECT_EQ(EncodeHex(outer), "30 08 02 01 05 31 03 04 01 61");
  inner->Add2Seq(new ASN1String("b"));  // counted by the next Length()
  EXPECT_EQ(EncodeHex(outer), "30 0B 02 01 05 31 06 04 01 61 04 01 62");
}

TEST_F(ASN1Test, HexEscapesNeverReadPastTheText) {
  const struct {
    const char* text;
    int escaped;
    const char* content;
    const char* report;  // the escape reported as invalid, or null
  } cases[] = {
      {"\\41\\42", 1, "41 42", nullptr},
      {"\\41\\42", 0, "5C 34 31 5C 34 32", nullptr},
      {"a\\2ab\\5c\\28\\29\\00", 1, "61 2A 62 5C 28 29 00", nullptr},
      {"\\4g", 1, "04", "\\4g"},
      {"\\zz1", 1, "00 31", "\\zz"},
      {"ab\\", 1, "61 62 00", "\\"},
      {"ab\\4", 1, "61 62 04", "\\4"},
  };
  for (const auto& c : cases) {
    console.Clear();
    ASN1String s(c.text, c.escaped);
    EXPECT_EQ(EncodeHex(s).substr(6), c.content) << c.text;
    EXPECT_EQ(s.str[s.length], '\0') << c.text;
    if (c.report == nullptr) {
      EXPECT_TRUE(console.Empty()) << c.text;
    } else {
      EXPECT_TRUE(console.Has(
          std::string("ASN1String::ASN1String: invalid hex escape sequence ") +
          c.report))
          << c.text;
    }
  }
  ASN1String none(static_cast<const char*>(nullptr), 1);
  EXPECT_EQ(EncodeHex(none), "04 00");
}

TEST_F(ASN1Test, MalformedIntegersAreReportedAndBounded) {
  const struct {
    const char* bytes;
    const char* report;
    long stop;  // where dp is left; -1 for the end of the input
  } cases[] = {
      {"04 01 05", "ASN1Integer::ASN1Integer: unexpected tag: 0x04\r\n", 1},
      {"02 05 01 02 03 04 05", "ASN1Integer::ASN1Integer: invalid length 5\r\n",
       1},
      {"02 00", "ASN1Integer::ASN1Integer: invalid length 0\r\n", 1},
      {"02 02 01", "ASN1Integer::ASN1Integer: truncated at end of message\r\n",
       -1},
      {"02", "ASN1Type::GetLen: length missing at end of message\r\n", -1},
      {"02 85 00 00 00 00 01", "ASN1Type::GetLen: length too long: 6\r\n", -1},
      {"02 80 01 00 00",
       "ASN1Type::GetLen: indefinite length not supported\r\n", -1},
      {"02 82 00", "ASN1Type::GetLen: length octets beyond end of message\r\n",
       -1},
  };
  for (const auto& c : cases) {
    console.Clear();
    std::vector<unsigned char> bytes = Bytes(c.bytes);
    unsigned char* dp = bytes.data();
    const unsigned char* end = bytes.data() + bytes.size();
    ASN1Integer decoded(dp, end);
    EXPECT_TRUE(decoded.malformed) << c.bytes;
    EXPECT_EQ(decoded.val, 0) << c.bytes;
    EXPECT_TRUE(console.Has(c.report)) << c.bytes;
    EXPECT_EQ(dp, c.stop < 0 ? end : bytes.data() + c.stop) << c.bytes;
  }
  unsigned char nothing = 0;
  unsigned char* dp = &nothing;
  EXPECT_TRUE(ASN1Integer(dp, &nothing).malformed);
  EXPECT_EQ(dp, &nothing);
}

TEST_F(ASN1Test, DecodesStringsOfAnyTagWithinTheMessage) {
  std::vector<unsigned char> bytes = Bytes("80 03 61 62 63 04 81 80");
  bytes.insert(bytes.end(), 128, 'z');
  unsigned char* dp = bytes.data();
  const unsigned char* end = bytes.data() + bytes.size();
  ASN1String first(dp, end);
  EXPECT_EQ(first.tag, 0x80);
  EXPECT_STREQ(first.str, "abc");
  ASN1String second(dp, end);
  EXPECT_EQ(std::string(second.str), std::string(128, 'z'));
  EXPECT_EQ(dp, end);

  for (const char* hostile : {"04 05 61 62", "04 84 7F FF FF FF 61", "04 82 01",
                              "04 80 61 00 00", "04"}) {
    std::vector<unsigned char> input = Bytes(hostile);
    dp = input.data();
    ASN1String s(dp, input.data() + input.size());
    EXPECT_TRUE(s.malformed) << hostile;
    EXPECT_STREQ(s.str, "") << hostile;
    EXPECT_EQ(dp, input.data() + input.size()) << hostile;
  }
}

TEST_F(ASN1Test, HeaderReaderChecksTheContentFits) {
  unsigned char long_form[] = {0x82, 0x01, 0x2C};
  EXPECT_EQ(ASN1Type::GetLenLen(long_form), 3);
  std::vector<unsigned char> bytes = Bytes("30 03 02 01 07");
  unsigned char* dp = bytes.data();
  ASN1Null element;
  ASSERT_TRUE(element.GetHdr(dp, bytes.data() + bytes.size()));
  EXPECT_EQ(element.tag, 0x30);
  EXPECT_EQ(element.length, 3u);
  EXPECT_EQ(dp, bytes.data() + 2);
  dp = bytes.data();
  EXPECT_FALSE(element.GetHdr(dp, bytes.data() + 4));
  EXPECT_EQ(dp, bytes.data());
  EXPECT_TRUE(console.Has(
      "ASN1Type::GetHdr: element of 3 octets overruns message\r\n"));
}

TEST_F(ASN1Test, AddingANullChildIsFatal) {
  ASN1Sequence sequence;
  EXPECT_DEATH(
      {
        PCConsole to_stderr(nullptr);
        to_stderr.SetOutput(stderr);
        Console = &to_stderr;
        sequence.Add2Seq(nullptr);
      },
      "ASN1Sequence::Add2Seq: attempt to add null object");
}

}  // namespace
