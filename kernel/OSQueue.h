// Queues: lists of objects that are their own links, which tell registered
// trigger objects about every change.
//
// Thread safety: an OSQueue is serialised by its owner; notification runs
// under OS_CRITICAL_TRIGGER. OSProtectedQueue takes its own lock around each
// operation (its lock first, then OS_CRITICAL_TRIGGER and OS_CRITICAL_LINK).
#ifndef KERNEL_OSQUEUE_H_
#define KERNEL_OSQUEUE_H_

#include "kernel/OSCriticalSection.h"
#include "kernel/OSList.h"
#include "kernel/OSTypedList.h"

class OSBuf;
class OSQueue;

// An object told about each change of the queues it is registered with
// (through OSQueue::TriggerList). It sits in those queues' trigger lists
// through pool links, so one trigger may watch several queues.
class OSQueueTrigger : public OSLinkListObj {
 public:
  // Called under OS_CRITICAL_TRIGGER after `queue` has changed.
  virtual void Trigger(OSQueue* queue) = 0;
};

class OSQueue : public OSLinkList {
 public:
  // With `delete_on_destroy` set the queue owns its elements: Flush and the
  // destructor delete them. Otherwise they are released with their Free().
  explicit OSQueue(char delete_on_destroy = 0);
  // Forgets the triggers (they are not deleted), then flushes the queue.
  ~OSQueue() override;

  // As OSLinkList's object forms (same fatal messages), each followed by
  // CheckTrigger().
  void Append(OSLinkListObj* obj);
  void Insert(OSLinkListObj* obj);
  void Remove(OSLink* link);
  void Flush() override;

  // Calls Trigger(this) on every OSQueueTrigger in the trigger list, in list
  // order, under OS_CRITICAL_TRIGGER. Other objects in the list are skipped.
  void CheckTrigger();
  // The trigger list; owners register OSQueueTrigger objects through it and
  // remain their owners.
  OSTypedList<OSListObj>* TriggerList() { return &triggers; }

 protected:
  OSTypedList<OSListObj> triggers;  // objects to notify on each change
                                    // (not owned)
};

// A queue (never owning its elements) whose operations run under its own
// lock, so that several threads may share it; typically a queue of data
// buffers handed from one thread to another.
//
// The queue is a private base, as OSProtectedList's list is: an
// OSProtectedQueue does not convert to OSQueue or OSLinkList, so no caller
// can reach an unlocked operation through a base reference. Only the
// operations below are offered.
class OSProtectedQueue : private OSQueue {
 public:
  OSProtectedQueue();
  ~OSProtectedQueue() override;

  void Append(OSLinkListObj* obj);
  void Insert(OSLinkListObj* obj);
  void Remove(OSLink* link);
  void Flush() override;
  OSListObj* FirstObject();
  OSListObj* LastObject();
  // The element count, read under the lock.
  int Size();

  // Packs as much of `buf` as fits (up to 1400 bytes in all) into the last
  // buffer of the queue and appends what remains. The queue takes `buf` over:
  // a buffer that was packed completely has been freed on return.
  void AppendBufAndCompact(OSBuf* buf);
  // Removes and returns the first element, or null when the queue is empty
  // or its first element is not a buffer. The caller owns the buffer.
  OSBuf* FirstBufAndRemove();

 private:
  CRITICAL_SECTION cs;  // guards the queue
};

#endif  // KERNEL_OSQUEUE_H_
