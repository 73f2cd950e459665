#include "ldap/LDAPFilter.h"

#include <vector>

#include "kernel/OSConsole.h"

namespace {

// Filter choice tags.
const unsigned char kAnd = 0xA0;
const unsigned char kOr = 0xA1;
const unsigned char kNot = 0xA2;
const unsigned char kEquality = 0xA3;
const unsigned char kSubstrings = 0xA4;
const unsigned char kGreaterOrEqual = 0xA5;
const unsigned char kLessOrEqual = 0xA6;
const unsigned char kPresent = 0x87;
// Substring piece tags.
const unsigned char kInitial = 0x80;
const unsigned char kAny = 0x81;
const unsigned char kFinal = 0x82;

// Nesting deeper than this is refused rather than parsed recursively.
const int kMaxDepth = 64;

}  // namespace

LDAPFilter_tx::LDAPFilter_tx(const char* src_txt) : LDAPFilter_tx(src_txt, 0) {}

LDAPFilter_tx::LDAPFilter_tx(const char* src_txt, int depth)
    : end_of_filter(0), src_len(0), valid(0) {
  given = src_txt != nullptr ? src_txt : "";
  valid = Parse(depth) ? 1 : 0;
  given = nullptr;
}

LDAPFilter_tx::~LDAPFilter_tx() = default;

unsigned long LDAPFilter_tx::Length() {
  if (present) return present->Length();
  return ASN1Sequence::Length();
}

void LDAPFilter_tx::BerEncode(unsigned char*& dp) {
  if (present) {
    present->BerEncode(dp);
    return;
  }
  ASN1Sequence::BerEncode(dp);
}

bool LDAPFilter_tx::Parse(int depth) {
  source_str = given;
  const std::string& text = source_str;
  if (text.size() < 5) {
    Console->Print("LDAPFilter_tx: filter too short %s", given);
    return false;
  }
  if (text[0] != '(' || depth > kMaxDepth) return ParseError();

  // Find this filter's closing parenthesis and the first "=" before it.
  int balance = 0;
  size_t equals = std::string::npos;
  size_t i = 0;
  for (; i < text.size(); ++i) {
    if (text[i] == '(') {
      ++balance;
    } else if (text[i] == ')') {
      if (--balance == 0) break;
    } else if (text[i] == '=' && equals == std::string::npos) {
      equals = i;
    }
  }
  if (i == text.size()) return ParseError();
  end_of_filter = i;
  src_len = i + 1;
  source_str.resize(src_len);

  switch (source_str[1]) {
    case '&':
      SetTag(kAnd);
      return ParseComposite(depth);
    case '|':
      SetTag(kOr);
      return ParseComposite(depth);
    case '!':
      SetTag(kNot);
      return ParseComposite(depth);
    default:
      return ParseSimple(equals);
  }
}

bool LDAPFilter_tx::ParseComposite(int depth) {
  int count = 0;
  size_t pos = 2;
  while (pos < end_of_filter) {
    std::unique_ptr<LDAPFilter_tx> sub(
        new LDAPFilter_tx(source_str.c_str() + pos, depth + 1));
    if (!sub->valid) return false;
    pos += sub->src_len;
    Add2Seq(sub.release());
    ++count;
  }
  // A negation of anything but one filter has no encoding.
  if (tag == kNot && count != 1) return ParseError();
  return true;
}

bool LDAPFilter_tx::ParseSimple(size_t equals) {
  if (equals == std::string::npos || equals < 2) return ParseError();
  const std::string value =
      source_str.substr(equals + 1, end_of_filter - equals - 1);
  const char before = source_str[equals - 1];

  if (before == '>' || before == '<') {
    SetTag(before == '>' ? kGreaterOrEqual : kLessOrEqual);
    Add2Seq(new ASN1String(source_str.substr(1, equals - 2).c_str()));
    Add2Seq(new ASN1String(value.c_str(), 1));
    return true;
  }

  const std::string attribute = source_str.substr(1, equals - 1);
  if (value == "*") {
    present.reset(new ASN1String(attribute.c_str()));
    present->SetTag(kPresent);
    SetTag(kPresent);
  } else if (value.find('*') != std::string::npos) {
    SetTag(kSubstrings);
    Add2Seq(new ASN1String(attribute.c_str()));
    AddSubstrings(value);
  } else {
    SetTag(kEquality);
    Add2Seq(new ASN1String(attribute.c_str()));
    Add2Seq(new ASN1String(value.c_str(), 1));
  }
  return true;
}

void LDAPFilter_tx::AddSubstrings(const std::string& value) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    const size_t star = value.find('*', start);
    pieces.push_back(value.substr(start, star - start));
    if (star == std::string::npos) break;
    start = star + 1;
  }

  ASN1Sequence* list = new ASN1Sequence;
  Add2Seq(list);
  auto add_piece = [list](const std::string& text, unsigned char piece_tag) {
    ASN1String* piece = new ASN1String(text.c_str(), 1);
    piece->SetTag(piece_tag);
    list->Add2Seq(piece);
  };
  if (!pieces[0].empty()) add_piece(pieces[0], kInitial);
  // An empty piece ends the list; the piece after the last "*" is final.
  for (size_t i = 1; i < pieces.size() && !pieces[i].empty(); ++i) {
    const bool last = i + 1 == pieces.size();
    add_piece(pieces[i], last ? kFinal : kAny);
  }
}

bool LDAPFilter_tx::ParseError() {
  Console->Print("LDAPFilter_tx: filter parse error %s", given);
  return false;
}
