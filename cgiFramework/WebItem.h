// WebItem: a node of a page's element tree and the base of every page and
// element.
//
// A node holds its children in order. It owns each child whose `destroy`
// flag is set: destroying the node deletes those children (and so their
// subtrees); children whose flag was cleared are only unlinked and survive.
// Rendering writes the tree depth-first into a WebRender; it reads the
// members at that moment and leaves the tree unchanged (pages and forms of
// the HTML side are the exception: see their headers).
//
// Thread safety: none; a tree belongs to one thread.
#ifndef CGIFRAMEWORK_WEBITEM_H_
#define CGIFRAMEWORK_WEBITEM_H_

#include "kernel/OSListObj.h"
#include "kernel/OSTypedList.h"

class WebContext;
class WebRender;

class WebItem : public OSListObj {
 public:
  // No children; `destroy` set.
  WebItem();
  // Unlinks each child in order and deletes those whose `destroy` is set.
  ~WebItem() override;
  WebItem(const WebItem&) = delete;
  WebItem& operator=(const WebItem&) = delete;

  // Renders the children in order into `o`. The context is handed on
  // unchanged. A plain WebItem writes nothing of its own.
  virtual void Render(WebContext& context, WebRender* o);
  // Links `item` as the last (Add) or first (Insert) child and returns this
  // element, not the child. A null `item` changes nothing.
  virtual WebItem* Add(WebItem* item);
  virtual WebItem* Insert(WebItem* item);
  // True when this element answers to `name`; a plain WebItem never does.
  virtual bool Match(const char* name);
  // The first element below this one (never this one) in depth-first
  // pre-order whose Match(name) is true; null when there is none.
  virtual WebItem* Find(const char* name);

  OSTypedList<WebItem> contains;  // children in order; the list owns none
  bool destroy;                   // the parent deletes this element with itself
};

// Deletes every element of `list` whose `destroy` flag is set after taking
// it out of the list; the others are only taken out. Used for every child
// list of an element.
void DestroyItems(OSTypedList<WebItem>& list);
// Renders every element of `list` in order.
void RenderItems(OSTypedList<WebItem>& list, WebContext& context, WebRender* o);

#endif  // CGIFRAMEWORK_WEBITEM_H_
