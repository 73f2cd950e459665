#include "kernel/OSTypedList.h"

thread_local OSListCursor* OSListCursor::youngest = nullptr;

OSListCursor::OSListCursor(const OSLink* head, const OSLink* at)
    : link(at), head(head) {
  Register();
}

OSListCursor::OSListCursor(const OSListCursor& other)
    : link(other.link), head(other.head) {
  Register();
}

OSListCursor& OSListCursor::operator=(const OSListCursor& other) {
  link = other.link;
  head = other.head;
  return *this;
}

OSListCursor::~OSListCursor() { Unregister(); }

void OSListCursor::Unlinking(const OSLink* head, const OSLink* link) {
  for (OSListCursor* c = youngest; c != nullptr; c = c->older) {
    if (c->head == head && c->link == link) c->link = link->previous;
  }
}

void OSListCursor::Emptying(const OSLink* head) {
  for (OSListCursor* c = youngest; c != nullptr; c = c->older) {
    if (c->head == head) c->link = head;
  }
}

void OSListCursor::Register() {
  older = youngest;
  younger = nullptr;
  if (older != nullptr) older->younger = this;
  youngest = this;
}

void OSListCursor::Unregister() {
  if (younger != nullptr) {
    younger->older = older;
  } else {
    youngest = older;
  }
  if (older != nullptr) older->younger = younger;
}
