// JSON request bodies: a small recursive-descent parser that turns a
// writable, zero-terminated text into a tree of JsonObj nodes.
//
// Accepted input is JSON with these limits: numbers must begin with a digit
// (no sign, no leading "."), strings know the escapes \" \/ \\ \b \f \n \r \t
// only (no "\u"), member names are taken up to the next double quote without
// escapes, a comma before "}" or "]" is accepted, and text after the root
// value is ignored. Nesting deeper than kJsonMaxDepth levels, and more than
// kJsonMaxValues values in one parse, are refused.
//
// Errors are thrown as constant text pointers (const char*); the texts are
// listed at each throwing function. No partial tree survives a throw.
//
// Thread safety: none; one tree belongs to one thread. reverse_arrays is
// process-wide.
#ifndef JSON_H_
#define JSON_H_

#include <cstddef>

#include "common/UString.h"
#include "kernel/OSListObj.h"
#include "kernel/OSTypedList.h"

// Deepest nesting level the parser accepts (the root is level 0). Deeper
// input throws kJsonTooDeep instead of exhausting the stack.
constexpr int kJsonMaxDepth = 256;
extern const char* const kJsonTooDeep;  // "JSON nesting too deep"
// Most values (nodes) one parse may make: each costs a few hundred bytes
// however short its text, so the count is bounded as well as the body size.
// More throw kJsonTooManyValues.
constexpr int kJsonMaxValues = 40000;
extern const char* const kJsonTooManyValues;  // "JSON too many values"

// A growable byte string that is always zero-terminated.
class JsonString {
 public:
  // The empty text, then the text of `s` when `s` is not null. The buffer
  // is allocated (64 bytes at first) when the first byte is stored, so an
  // empty string costs nothing. Throws "JsonString out of memory".
  explicit JsonString(const char* s = nullptr);
  ~JsonString();
  JsonString(const JsonString&) = delete;
  JsonString& operator=(const JsonString&) = delete;

  // Replaces the text; a null `s` changes nothing. Throws
  // "JsonString out of memory".
  JsonString& operator=(const char* s);
  // Appends one byte. Throws "JsonString out of memory".
  void Add(char c);
  // The text; valid until the string next grows or is destroyed.
  operator char*() const;
  // Byte comparison with the zero-terminated `s` (null compares as "").
  bool operator==(const char* s) const;

 private:
  // Grows the buffer, by doubling, to at least `n` bytes, keeping the text.
  void Alloc(size_t n);

  size_t alloc_len;  // size of alloc_buf in bytes
  char* alloc_buf;   // the text and its terminating zero; null while empty
  char* end;         // the terminating zero; null while alloc_buf is
  size_t len;        // bytes of text held
};

class JsonObj : public OSListObj {
 public:
  enum Type {
    UNKNOWN = 0,
    STRING = 1,
    NUMBER = 2,
    OBJECT = 3,
    ARRAY = 4,
    _TRUE = 5,
    _FALSE = 6,
    _NULL = 7,
  };

  // Parses one value at `in` (leading white space skipped). `in` must be
  // writable and zero-terminated: the closing quote of each member name is
  // overwritten with a zero byte. The root has no parent and level 0; its
  // name is "__TOP__".
  // Throws "null parent for non top level object" (no parent, level not 0),
  // "PARSE1" (member name not starting with a double quote), "PARSE2" (name
  // without closing quote), "PARSE3" (no ":" after a name), "PARSE4" (member
  // not followed by "," or "}"), "PARSE5" (unterminated string), "PARSE6"
  // (array element not followed by "," or "]"), "PARSE7" (no value here),
  // "PARSE8" (bad escape, including "\u" and a backslash at the end),
  // kJsonTooDeep, kJsonTooManyValues and "JsonString out of memory".
  JsonObj(char* in, JsonObj* Aparent, int Alevel);
  // Deletes the children.
  ~JsonObj() override;
  JsonObj(const JsonObj&) = delete;
  JsonObj& operator=(const JsonObj&) = delete;

  bool IsObject() const { return type == OBJECT; }
  bool IsString() const { return type == STRING; }
  bool IsNumber() const { return type == NUMBER; }
  bool IsArray() const { return type == ARRAY; }
  bool IsTrue() const { return type == _TRUE; }
  bool IsFalse() const { return type == _FALSE; }
  bool IsNull() const { return type == _NULL; }

  // The first direct child whose name is not empty and equals `name`; null
  // when there is none (always for array elements).
  JsonObj* Find(const char* name);
  // The text of this string node; "" for any other type.
  const char* String();
  // The text of the string member `member`; "" when it is missing or not a
  // string. Valid as long as the member.
  const char* String(const char* member);
  // Writes the numeric member `member`, truncated to whole seconds since the
  // epoch, as local time "YYYY-MM-DD HH:MM:SS" into `buf` (at least 20
  // bytes) and returns `buf`. Returns "" when the member is missing, is not
  // a number, lies outside the time range, or gives a year that does not
  // fit the 20 bytes.
  const char* GetDateTime(const char* member, char* buf);
  // Walks the tree from this node along `query` (consumed in place): tokens
  // separated by ";", "F<type>:<name>" steps into the member `name` when it
  // exists and has the type given by the letter (A array, O object, N
  // number, T true, F false, n null), otherwise the walk stops; "SZ" sets
  // `val` to the current node's child count ("%d") and ends the walk; other
  // tokens are ignored. `val` is left unchanged unless "SZ" is reached.
  // Throws "JsonObj::Query - missing colon", "JsonObj::Query - missing find
  // arg" and "JsonObj::Query - unrecognised find type".
  void Query(UString& query, UString& val);
  // Appends to this array the elements of `in`, a text of the form
  // "name" : [ elements ] (the name is not checked). `in` is changed as by
  // the constructor. Throws "attempt to Expand a non-array", "PARSE1",
  // "PARSE2", "PARSE3", "attempt to Expand with non-array data", "PARSE6"
  // and the constructor's texts for the elements (kJsonMaxValues counts the
  // elements of this call only).
  void Expand(char* in);
  // Writes an indented dump of the subtree to standard error.
  void Print(int level);

  // When set, array elements are put at the front: arrays come out reversed.
  static bool reverse_arrays;

  JsonObj* parent;    // enclosing node; null for the root
  UString name;       // member name; "__TOP__" at the root; "" in arrays
  JsonString string;  // text of a string value
  double number;      // value of a number
  int level;          // nesting depth; 0 at the root
  OSTypedList<JsonObj> values;  // children in input order; owned
  char* end;                    // last character of this value in the input;
                                // meaningful only while parsing
  Type type;                    // kind of value

 private:
  // Parses the elements of an array whose "[" is at `p` into `values`,
  // up to and including the "]", which becomes `end`. Throws "PARSE6".
  void ParseElements(char* p);
  // Parses an object whose "{" is at `p`.
  void ParseObject(char* p);
  // Parses a string whose opening quote is at `p`.
  void ParseString(char* p);
  // Parses a number or a literal at `p`.
  void ParseScalar(char* p);
  // Parses a child at `p` (level + 1), appends it (or prepends it, for
  // reversed arrays) and returns the position after its last character.
  char* AddChild(char* p, const char* Aname, bool front);
};

#endif  // JSON_H_
