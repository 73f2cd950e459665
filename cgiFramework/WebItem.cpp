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
  for (WebItem* child : contains) {
    if (child->Match(name)) return child;
    if (WebItem* found = child->Find(name)) return found;
  }
  return nullptr;
}

void DestroyItems(OSTypedList<WebItem>& list) {
  list.RemoveIf([](WebItem* item) {
    // The list owns nothing, so it only unlinks; the flag decides here.
    if (item->destroy) delete item;
    return true;
  });
}

void RenderItems(OSTypedList<WebItem>& list, WebContext& context,
                 WebRender* o) {
  for (WebItem* item : list) item->Render(context, o);
}
