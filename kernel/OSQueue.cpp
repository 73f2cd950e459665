#include "kernel/OSQueue.h"

#include "kernel/OSBuf.h"
#include "kernel/OSKernel.h"

namespace {

// Largest data a buffer of a protected queue is packed up to.
constexpr unsigned short kCompactLimit = 1400;

}  // namespace

OSQueue::OSQueue(char delete_on_destroy)
    : OSLinkList(delete_on_destroy), triggers(0) {}

OSQueue::~OSQueue() {
  triggers.Flush();
  Flush();
}

void OSQueue::Append(OSLinkListObj* obj) {
  OSLinkList::Append(obj);
  CheckTrigger();
}

void OSQueue::Insert(OSLinkListObj* obj) {
  OSLinkList::Insert(obj);
  CheckTrigger();
}

void OSQueue::Remove(OSLink* link) {
  OSLinkList::Remove(link);
  CheckTrigger();
}

void OSQueue::Flush() {
  OSLinkList::Flush();
  CheckTrigger();
}

void OSQueue::CheckTrigger() {
  CriticalSectionLock lock(&OS_CRITICAL_TRIGGER);
  for (OSListObj* obj : triggers) {
    if (auto* trigger = dynamic_cast<OSQueueTrigger*>(obj)) {
      trigger->Trigger(this);
    }
  }
}

OSProtectedQueue::OSProtectedQueue() : OSQueue(0) {
  InitializeCriticalSection(&cs);
}

// The queue part empties itself after the lock is gone; nobody else may
// use a queue that is being destroyed.
OSProtectedQueue::~OSProtectedQueue() { DeleteCriticalSection(&cs); }

void OSProtectedQueue::Append(OSLinkListObj* obj) {
  CriticalSectionLock lock(&cs);
  OSQueue::Append(obj);
}

void OSProtectedQueue::Insert(OSLinkListObj* obj) {
  CriticalSectionLock lock(&cs);
  OSQueue::Insert(obj);
}

void OSProtectedQueue::Remove(OSLink* link) {
  CriticalSectionLock lock(&cs);
  OSQueue::Remove(link);
}

void OSProtectedQueue::Flush() {
  CriticalSectionLock lock(&cs);
  OSQueue::Flush();
}

OSListObj* OSProtectedQueue::FirstObject() {
  CriticalSectionLock lock(&cs);
  return OSQueue::FirstObject();
}

OSListObj* OSProtectedQueue::LastObject() {
  CriticalSectionLock lock(&cs);
  return OSQueue::LastObject();
}

int OSProtectedQueue::Size() {
  CriticalSectionLock lock(&cs);
  return OSQueue::Size();
}

void OSProtectedQueue::AppendBufAndCompact(OSBuf* buf) {
  if (buf == nullptr) return;
  CriticalSectionLock lock(&cs);
  OSBuf* last = dynamic_cast<OSBuf*>(OSQueue::LastObject());
  // Compact needs a limit no smaller than the last buffer's length.
  if (last != nullptr && last->length <= kCompactLimit) {
    buf = last->Compact(buf, kCompactLimit);
  }
  if (buf != nullptr) OSQueue::Append(buf);
}

OSBuf* OSProtectedQueue::FirstBufAndRemove() {
  CriticalSectionLock lock(&cs);
  OSBuf* buf = dynamic_cast<OSBuf*>(OSQueue::FirstObject());
  if (buf != nullptr) OSQueue::Remove(buf);
  return buf;
}
