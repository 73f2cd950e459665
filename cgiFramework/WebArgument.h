// One request argument: a named text value with a default, its origin, and
// for multipart bodies the uploaded bytes.
//
// Arguments live in WebContext::arguments, which owns them. They come from
// the settings file (Hidden), the query string and the request body (Normal),
// or the program itself; their type decides whether generated URLs carry them
// (see WebContext::GetSpecificURL).
#ifndef CGIFRAMEWORK_WEBARGUMENT_H_
#define CGIFRAMEWORK_WEBARGUMENT_H_

#include <string>

#include "common/UString.h"
#include "kernel/OSBTree.h"
#include "kernel/OSListObj.h"

class WebArgument : public OSListObj {
 public:
  enum Type {
    Normal = 0,  // from the query string or the request body
    Global = 1,  // carried in page URLs
    Hidden = 2,  // from the settings file or set by the program; never in a URL
    Any = 3,     // lookup wildcard only
    Context = 4,  // carried in every generated URL ("sessionId")
  };

  // Type Normal, empty texts, no data, length 0, depth 0.
  WebArgument();
  ~WebArgument() override;
  WebArgument(const WebArgument&) = delete;
  WebArgument& operator=(const WebArgument&) = delete;

  // True when `key` equals `name` exactly.
  bool IsKey(char* key) override;

  // `value`, or `def` when `value` is empty. Valid until either changes.
  operator char*();
  // That text read as a base-10 number; 0 when it is not a number.
  operator int();

  void SetDef(const char* d);
  WebArgument& operator=(const char* v);
  // Sets `value` to `v` formatted "%d".
  WebArgument& operator=(int v);
  // `value` becomes "1" when it was "on" or "On", "0" otherwise.
  void CheckBox();

  // Compare `value` (not the default) exactly with `s`.
  bool operator==(const char* s);
  bool operator!=(const char* s);

  UString name;      // decoded argument name
  UString value;     // decoded value
  UString def;       // used when value is empty
  Type type;         // origin and use, above
  UString content;   // content type of an uploaded file part, else empty
  UString filename;  // file name of an uploaded file part
  char* data;  // long text or file bytes inside WebContext::fbuf, else null
  int length;  // number of bytes at data
  int depth;   // WebContext::depth when the argument was made
};

// Index entry used to sort arguments through an OSBTree: it points at an
// argument (not owned) and orders by the argument's text (operator char*),
// as base-10 numbers or as text without regard to case, ascending or
// descending.
class WebIndexObj : public OSBTreeObj {
 public:
  WebIndexObj(WebArgument* Aarg, bool AnumericalOrder, bool AdescendingOrder);

  // Orders by the arguments' texts; only this order is used (Add, Next).
  int Compare(OSBTreeObj* other) override;

  WebArgument* arg;      // the indexed argument
  bool numericalOrder;   // compare as numbers (strtol) instead of text
  bool descendingOrder;  // reverse the order
};

// Reads one name=value pair in query-string syntax from `p`, appending the
// decoded name and value to `name` and `value` ("+" is a blank, "%%" a
// percent sign, "%XY" the byte of two hexadecimal digits). The name runs up
// to the first "=", across "&" and line ends; the value up to "&" outside
// quotes (a quote is kept in the value and opens or closes its span) and,
// with `line_ends`, up to a line end even inside quotes. `*has_equals`
// (when given) tells whether the name ended at "=". Returns where the pair
// ends: at its separator or the terminator.
const char* ReadArgumentPair(const char* p, bool line_ends, std::string& name,
                             std::string& value, bool* has_equals);
// The first character at or after `p` that is not "&", CR or LF.
const char* SkipArgumentSeparators(const char* p);

#endif  // CGIFRAMEWORK_WEBARGUMENT_H_
