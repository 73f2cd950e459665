// BER (X.690) element classes of the directory client: one object per TLV
// element, enough for the directory protocol: single-octet tags, definite
// lengths of up to four length octets, INTEGER/ENUMERATED/BOOLEAN of up to
// four content octets, NULL, OCTET STRING (any tag), SEQUENCE and SET.
//
// Encoding: build a tree, call Length() on the root (this fixes the length of
// every constructed element below it), allocate Length() bytes and call
// BerEncode on the root. BerEncode writes exactly Length() bytes; a tree
// changed after Length() writes stale headers.
//
// Decoding: the decoding constructors take a read position and the end of the
// received message and never read at or past that end. A malformed or
// truncated element is reported through the console's Print, marked
// `malformed`, and leaves harmless values (0, an empty string); decoding
// does not stop the process.
//
// Elements are plain heap objects; a sequence owns its children. They are not
// locked.
#ifndef LDAP_ASN1_H_
#define LDAP_ASN1_H_

#include "kernel/OSList.h"
#include "kernel/OSTypedList.h"
#include "kernel/OSListObj.h"

class ASN1Type : public OSListObj {
 public:
  explicit ASN1Type(unsigned char Atag);
  ~ASN1Type() override = default;
  ASN1Type(const ASN1Type&) = delete;
  ASN1Type& operator=(const ASN1Type&) = delete;

  // Writes the element at `dp` and advances `dp` by Length().
  virtual void BerEncode(unsigned char*& dp) = 0;
  // Total encoded size: identifier, length octets and content.
  virtual unsigned long Length();

  // Changes the identifier octet; the cached length is kept.
  void SetTag(unsigned char Atag) { tag = Atag; }
  // Stores the content length and its length octets, in the shortest form:
  // one octet up to 127, else 0x80|n and n octets (128 -> 81 80).
  void SetLength(unsigned long l);
  // Writes the identifier and length octets at `dp`, advancing it.
  void BerHdr(unsigned char*& dp);
  // Number of length octets that start at `dp` (one octet is read).
  static int GetLenLen(unsigned char* dp);
  // Decodes the length octets at `dp`, reading nothing at or past `end`,
  // into `lenlen` and `length`; `dp` is not moved. Returns false (printed,
  // `malformed` set, `length` unchanged) when the octets run past `end`, use
  // the indefinite form (first octet 0x80) or have more than four value
  // octets.
  bool GetLen(unsigned char* dp, const unsigned char* end);
  // Reads an identifier octet into `tag` and the length octets after it, and
  // checks that the content ends at or before `end`. On success advances `dp`
  // to the first content octet and returns true. On failure prints, sets
  // `malformed`, leaves `dp` unchanged and returns false.
  bool GetHdr(unsigned char*& dp, const unsigned char* end);

  unsigned char tag;              // identifier octet, written as is
  int lenlen;                     // 1 short form, 2-5 long form
  unsigned long length;           // number of content octets
  unsigned char coded_length[5];  // the length octets as written
  bool malformed;                 // decoding met a bad or truncated element
};

// NULL: the tag and one 0x00 octet.
class ASN1Null : public ASN1Type {
 public:
  ASN1Null();
  void BerEncode(unsigned char*& dp) override;
};

// INTEGER in the shortest two's-complement form of 1 to 4 octets.
class ASN1Integer : public ASN1Type {
 public:
  explicit ASN1Integer(int v);
  // Decodes an INTEGER, ENUMERATED or BOOLEAN element at `dp` (not reading at
  // or past `end`) and advances `dp` past it. Reports, with `val` left 0:
  // "ASN1Integer::ASN1Integer: unexpected tag: 0x%02x\r\n" (`dp` stays after
  // the identifier), "ASN1Integer::ASN1Integer: invalid length %d\r\n" for a
  // content length other than 1-4 (`dp` stays at the length octets), and
  // length octets that cannot be read or content cut short by `end` (`dp` =
  // `end`). With nothing left before `end`, `dp` stays.
  ASN1Integer(unsigned char*& dp, const unsigned char* end);
  void BerEncode(unsigned char*& dp) override;
  bool operator==(const ASN1Integer& other) const { return val == other.val; }

  unsigned char coded_val[4];  // the content octets, most significant first
  int val;
};

class ASN1Enumerated : public ASN1Integer {
 public:
  explicit ASN1Enumerated(int v);
};

// Encoded as the integer it is given: 1 -> 01, 0 -> 00.
class ASN1Boolean : public ASN1Integer {
 public:
  explicit ASN1Boolean(int v);
};

// OCTET STRING of any tag. `str` always holds `length` bytes followed by a
// terminating zero (the content itself may hold zero bytes).
class ASN1String : public ASN1Type {
 public:
  // Copies the text `s` (null reads as empty). When `escaped` is non-zero a
  // backslash and two hexadecimal digits become one byte; a bad escape is
  // reported ("ASN1String::ASN1String: invalid hex escape sequence %c%c%c")
  // and gives the value of its leading hexadecimal digits (0 when none); an
  // escape cut short by the end of the text is reported the same way and
  // never read past.
  ASN1String(const char* s, int escaped = 0);
  // Copies exactly `n` bytes of `p` (arbitrary octets).
  ASN1String(const unsigned char* p, unsigned long n);
  // Decodes an element of any tag at `dp` (kept in `tag`), not reading at or
  // past `end`, copies its content with a terminating zero and advances `dp`
  // past it. A malformed or truncated element gives an empty string, with
  // `dp` at `end`.
  ASN1String(unsigned char*& dp, const unsigned char* end);
  ~ASN1String() override;
  void BerEncode(unsigned char*& dp) override;

  char* str;  // owned content bytes
};

// SEQUENCE: owns its children and encodes them in order.
class ASN1Sequence : public ASN1Type {
 public:
  ASN1Sequence();
  // Deletes every child.
  ~ASN1Sequence() override;
  // Appends `t`, which the sequence then owns. A null `t` is a programming
  // error: Fatal("ASN1Sequence::Add2Seq: attempt to add null object").
  void Add2Seq(ASN1Type* t);
  void BerEncode(unsigned char*& dp) override;
  // Recomputes the length from the children (nested sequences first).
  unsigned long Length() override;

  OSTypedList<ASN1Type> seq_list;  // the children, in encoding order
};

class ASN1Set : public ASN1Sequence {
 public:
  ASN1Set();
};

#endif  // LDAP_ASN1_H_
