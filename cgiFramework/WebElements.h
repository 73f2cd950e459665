// Container elements of HTML pages: div blocks, tables with their rows and
// cells, ordered and unordered lists, and links.
//
// Each element writes an opening tag carrying its attribute text exactly as
// stored (the blank before an empty text is still written, so a cell opens
// as "<td >"), its children, and a closing tag.
//
// Thread safety: none.
#ifndef CGIFRAMEWORK_WEBELEMENTS_H_
#define CGIFRAMEWORK_WEBELEMENTS_H_

#include "cgiFramework/WebItem.h"
#include "common/UString.h"

// "<div %s>", children, "</div>".
class WebDiv : public WebItem {
 public:
  WebDiv();
  // `css` = the printf-formatted text.
  explicit WebDiv(const char* format, ...)
      __attribute__((format(printf, 2, 3)));
  ~WebDiv() override;
  void Render(WebContext& context, WebRender* o) override;

  UString css;  // attribute text
};

// An element written as "<tag %s>" with its attribute text, its children,
// "</tag>" and a line end that depends on the element: the common form of
// table cells and rows and list items.
class WebTaggedItem : public WebItem {
 public:
  // `tag` and `close_end` are static texts.
  WebTaggedItem(const char* tag, const char* css, const char* close_end);
  ~WebTaggedItem() override;
  void Render(WebContext& context, WebRender* o) override;

  UString css;  // attribute text

 private:
  const char* tag_;        // the element name
  const char* close_end_;  // written after the closing tag
};

// "<td %s>", children, "</td>".
class WebCell : public WebTaggedItem {
 public:
  explicit WebCell(const char* css) : WebTaggedItem("td", css, "") {}
};

// "<th %s>", children, "</th>".
class WebCellHeader : public WebTaggedItem {
 public:
  explicit WebCellHeader(const char* css) : WebTaggedItem("th", css, "") {}
};

// "<tr %s>", children, "</tr>\n".
class WebRow : public WebTaggedItem {
 public:
  explicit WebRow(const char* css) : WebTaggedItem("tr", css, "\n") {}
};

// "<table %s>\n"; with header elements "<thead>\n", the headers,
// "</thead>\n<tbody>\n", the children, "</tbody>\n"; without them the
// children only; then "</table>\n".
class WebTable : public WebItem {
 public:
  explicit WebTable(const char* css);
  // Releases the headers by the children's ownership rule, then the
  // children.
  ~WebTable() override;
  void Render(WebContext& context, WebRender* o) override;
  // Appends `item` (null: nothing) to the headers; returns the table.
  virtual WebItem* AddHeader(WebItem* item);

  OSTypedList<WebItem> headers;  // header elements, owned like the children
  UString css;                   // attribute text
};

// "<ol %s>\n" or "<ul %s>\n", children, "</ol>\n" or "</ul>\n".
class WebList : public WebItem {
 public:
  WebList(const char* css, bool ordered);
  ~WebList() override;
  void Render(WebContext& context, WebRender* o) override;

  UString css;   // attribute text
  bool ordered;  // numbered (ol) rather than bulleted (ul)
};

// "<li %s>", children, "</li>\n".
class WebListItem : public WebTaggedItem {
 public:
  explicit WebListItem(const char* css) : WebTaggedItem("li", css, "\n") {}
};

// "<a %s>", children, "</a>".
class WebLink : public WebItem {
 public:
  explicit WebLink(const char* href);
  ~WebLink() override;
  void Render(WebContext& context, WebRender* o) override;

  UString href;  // the whole attribute text, e.g. href="..."
};

#endif  // CGIFRAMEWORK_WEBELEMENTS_H_
