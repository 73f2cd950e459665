#include "cgiFramework/WebItem.h"

WebItem::WebItem() : destroy(true) {}

WebItem::~WebItem() { DestroyItems(contains); }

void WebItem::Render(WebContext& context, WebRender* o) {
  RenderItems(contains, context, o);
}

WebItem* WebItem::Add(WebItem* item) {
  contains.Append(item);
  return this;
}

WebItem* WebItem::Insert(WebItem* item) {
  contains.Insert(item);
  return this;
}

bool WebItem::Match(const char* /*name*/) { return false; }

WebItem* WebItem::Find(const char* name) {
  OSListIterator it(&contains);
  while (WebItem* child = static_cast<WebItem*>(it.Next())) {
    if (child->Match(name)) return child;
    if (WebItem* found = child->Find(name)) return found;
  }
  return nullptr;
}

void DestroyItems(OSIndirectList& list) {
  while (WebItem* item = static_cast<WebItem*>(list.FirstObject())) {
    list.Remove(item);
    if (item->destroy) delete item;
  }
}

void RenderItems(OSIndirectList& list, WebContext& context, WebRender* o) {
  OSListIterator it(&list);
  while (WebItem* item = static_cast<WebItem*>(it.Next())) {
    item->Render(context, o);
  }
}
