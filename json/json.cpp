#include "json/json.h"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

const char* const kJsonTooDeep = "JSON nesting too deep";
const char* const kJsonTooManyValues = "JSON too many values";

bool JsonObj::reverse_arrays = false;

namespace {

const char* const kOutOfMemory = "JsonString out of memory";

// Seconds beyond which a number is not taken as a time: far outside any
// year that fits the date format, and well inside time_t.
constexpr double kMaxSeconds = 1e15;

char* SkipWhite(char* p) {
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  return p;
}

// Counts the values made by one parse: the outermost constructor or Expand
// call starts the count, the nested constructors of its children add to it.
class ParseScope {
 public:
  ParseScope() {
    if (nesting++ == 0) values = 0;
  }
  ~ParseScope() { --nesting; }
  ParseScope(const ParseScope&) = delete;
  ParseScope& operator=(const ParseScope&) = delete;

  // Counts one more value. Throws kJsonTooManyValues past the limit.
  static void CountValue() {
    if (++values > kJsonMaxValues) throw kJsonTooManyValues;
  }

 private:
  static thread_local int nesting;  // parse calls under way on this thread
  static thread_local int values;   // values made by the outermost one
};

thread_local int ParseScope::nesting = 0;
thread_local int ParseScope::values = 0;

}  // namespace

// --- JsonString --------------------------------------------------------------

JsonString::JsonString(const char* s)
    : alloc_len(0), alloc_buf(nullptr), end(nullptr), len(0) {
  *this = s;
}

JsonString::operator char*() const {
  static char empty[] = "";
  return alloc_buf != nullptr ? alloc_buf : empty;
}

JsonString::~JsonString() { free(alloc_buf); }

JsonString& JsonString::operator=(const char* s) {
  if (s == nullptr) return *this;
  size_t n = strlen(s);
  if (n == SIZE_MAX) throw kOutOfMemory;
  if (n == 0 && alloc_buf == nullptr) return *this;  // empty stays unallocated
  Alloc(n + 1);
  memcpy(alloc_buf, s, n + 1);
  len = n;
  end = alloc_buf + len;
  return *this;
}

void JsonString::Add(char c) {
  if (len > SIZE_MAX - 2) throw kOutOfMemory;
  Alloc(len + 2);
  alloc_buf[len++] = c;
  end = alloc_buf + len;
  *end = '\0';
}

bool JsonString::operator==(const char* s) const {
  return strcmp(*this, s != nullptr ? s : "") == 0;
}

void JsonString::Alloc(size_t n) {
  if (alloc_len >= n) return;
  size_t size = alloc_len != 0 ? alloc_len : 64;
  while (size < n) {
    if (size > SIZE_MAX / 2) throw kOutOfMemory;
    size *= 2;
  }
  char* grown = static_cast<char*>(realloc(alloc_buf, size));
  if (grown == nullptr) throw kOutOfMemory;
  if (alloc_buf == nullptr) grown[0] = '\0';
  alloc_buf = grown;
  alloc_len = size;
  end = alloc_buf + len;
}

// --- JsonObj: parsing
// ----------------------------------------------------------

JsonObj::JsonObj(char* in, JsonObj* Aparent, int Alevel)
    : parent(Aparent),
      number(0),
      level(Alevel),
      values(1),
      end(in),
      type(UNKNOWN) {
  if (Aparent == nullptr) {
    if (Alevel != 0) throw "null parent for non top level object";
    name = "__TOP__";
  }
  if (Alevel > kJsonMaxDepth) throw kJsonTooDeep;
  ParseScope scope;
  ParseScope::CountValue();
  char* p = SkipWhite(in);
  switch (*p) {
    case '{':
      ParseObject(p);
      break;
    case '"':
      ParseString(p);
      break;
    case '[':
      ParseElements(p);
      break;
    default:
      ParseScalar(p);
  }
}

JsonObj::~JsonObj() = default;

void JsonObj::ParseObject(char* p) {
  ++p;
  for (;;) {
    p = SkipWhite(p);
    if (*p == '}') break;
    if (*p != '"') throw "PARSE1";
    char* member = p + 1;
    char* close = strchr(member, '"');
    if (close == nullptr) throw "PARSE2";
    *close = '\0';
    p = SkipWhite(close + 1);
    if (*p != ':') throw "PARSE3";
    p = SkipWhite(AddChild(SkipWhite(p + 1), member, false));
    if (*p == '}') break;
    if (*p != ',') throw "PARSE4";
    ++p;
  }
  end = p;
  type = OBJECT;
}

void JsonObj::ParseString(char* p) {
  char* q = p + 1;
  for (; *q != '"'; ++q) {
    if (*q == '\0') throw "PARSE5";
    if (*q != '\\') {
      string.Add(*q);
      continue;
    }
    ++q;
    switch (*q) {
      case '"':
      case '/':
      case '\\':
        string.Add(*q);
        break;
      case 'b':
        string.Add('\b');
        break;
      case 'f':
        string.Add('\f');
        break;
      case 'n':
        string.Add('\n');
        break;
      case 'r':
        string.Add('\r');
        break;
      case 't':
        string.Add('\t');
        break;
      default:  // "\u", any other letter, and the end of the text
        throw "PARSE8";
    }
  }
  end = q;
  type = STRING;
}

void JsonObj::ParseElements(char* p) {
  ++p;
  for (;;) {
    p = SkipWhite(p);
    if (*p == ']') break;
    p = SkipWhite(AddChild(p, nullptr, reverse_arrays));
    if (*p != ',') break;
    ++p;
  }
  if (*p != ']') throw "PARSE6";
  end = p;
  type = ARRAY;
}

void JsonObj::ParseScalar(char* p) {
  if (isdigit(static_cast<unsigned char>(*p))) {
    char* after = p;
    number = strtod(p, &after);
    end = after - 1;
    type = NUMBER;
    return;
  }
  static const struct {
    const char* text;
    Type type;
  } kLiterals[] = {{"true", _TRUE}, {"false", _FALSE}, {"null", _NULL}};
  for (const auto& literal : kLiterals) {
    size_t n = strlen(literal.text);
    if (strncmp(p, literal.text, n) == 0) {
      end = p + n - 1;
      type = literal.type;
      return;
    }
  }
  throw "PARSE7";
}

char* JsonObj::AddChild(char* p, const char* Aname, bool front) {
  std::unique_ptr<JsonObj> child(new JsonObj(p, this, level + 1));
  if (Aname != nullptr) child->name = Aname;
  // A parsed value always ends on a character of its own, so the position
  // after it is at most the terminating zero.
  char* next = child->end + 1;
  if (front) {
    values.Insert(child.release());
  } else {
    values.Append(child.release());
  }
  return next;
}

void JsonObj::Expand(char* in) {
  if (type != ARRAY) throw "attempt to Expand a non-array";
  if (*in != '"') throw "PARSE1";
  char* close = strchr(in + 1, '"');
  if (close == nullptr) throw "PARSE2";
  *close = '\0';
  char* p = SkipWhite(close + 1);
  if (*p != ':') throw "PARSE3";
  p = SkipWhite(p + 1);
  if (*p != '[') throw "attempt to Expand with non-array data";
  ParseScope scope;
  ParseElements(p);
}

// --- JsonObj: reading the tree
// -------------------------------------------------

JsonObj* JsonObj::Find(const char* Aname) {
  if (Aname == nullptr) return nullptr;
  for (JsonObj* child : values) {
    if (!child->name.IsEmpty() && child->name == Aname) return child;
  }
  return nullptr;
}

const char* JsonObj::String() { return type == STRING ? string : ""; }

const char* JsonObj::String(const char* member) {
  JsonObj* child = Find(member);
  return child != nullptr ? child->String() : "";
}

const char* JsonObj::GetDateTime(const char* member, char* buf) {
  JsonObj* child = Find(member);
  if (child == nullptr || !child->IsNumber()) return "";
  double seconds = std::trunc(child->number);
  if (!(seconds >= -kMaxSeconds && seconds <= kMaxSeconds)) return "";
  time_t t = static_cast<time_t>(seconds);
  struct tm local;
  if (localtime_r(&t, &local) == nullptr) return "";
  char text[64];
  int n =
      snprintf(text, sizeof text, "%lld-%02d-%02d %02d:%02d:%02d",
               static_cast<long long>(local.tm_year) + 1900, local.tm_mon + 1,
               local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  if (n < 0 || n >= 20) return "";
  memcpy(buf, text, static_cast<size_t>(n) + 1);
  return buf;
}

void JsonObj::Query(UString& query, UString& val) {
  if (query.IsEmpty()) return;
  JsonObj* node = this;
  char* save = nullptr;
  for (char* token = strtok_r(query, ";", &save); token != nullptr;
       token = strtok_r(nullptr, ";", &save)) {
    if (strcmp(token, "SZ") == 0) {
      val.Format("%d", node->values.Size());
      return;
    }
    if (token[0] != 'F') continue;
    char* colon = strchr(token, ':');
    if (colon == nullptr) throw "JsonObj::Query - missing colon";
    if (colon[1] == '\0') throw "JsonObj::Query - missing find arg";
    node = node->Find(colon + 1);
    if (node == nullptr) return;
    Type wanted;
    switch (token[1]) {
      case 'A':
        wanted = ARRAY;
        break;
      case 'O':
        wanted = OBJECT;
        break;
      case 'N':
        wanted = NUMBER;
        break;
      case 'T':
        wanted = _TRUE;
        break;
      case 'F':
        wanted = _FALSE;
        break;
      case 'n':
        wanted = _NULL;
        break;
      default:
        throw "JsonObj::Query - unrecognised find type";
    }
    if (node->type != wanted) return;
  }
}

void JsonObj::Print(int Alevel) {
  fprintf(stderr, "%*s", 2 * (Alevel > 0 ? Alevel : 0), "");
  if (!name.IsEmpty()) fprintf(stderr, "name: %s\t", static_cast<char*>(name));
  switch (type) {
    case NUMBER:
      fprintf(stderr, "number: \"%g\"\n", number);
      break;
    case STRING:
      fprintf(stderr, "string: \"%s\"\n", static_cast<char*>(string));
      break;
    case OBJECT:
    case ARRAY: {
      fprintf(stderr, type == OBJECT ? "object:\n" : "array:\n");
      for (JsonObj* child : values) child->Print(Alevel + 1);
      break;
    }
    default:  // true, false, null and unknown end without a line break
      break;
  }
}
