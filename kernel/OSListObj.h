// Base class of every object that can be kept in a kernel list.
//
// Keyed lookups (OSLinkList::Lookup, Find, Search) ask each element
// IsKey(text); an element answers true when the text names it.
#ifndef KERNEL_OSLISTOBJ_H_
#define KERNEL_OSLISTOBJ_H_

class OSListObj {
 public:
  virtual ~OSListObj() = default;
  // True when `key` names this object. The base class matches nothing.
  virtual bool IsKey(char* /*key*/) { return false; }
};

// The kernel's generic object pointer, as used by callbacks.
typedef OSListObj OSObj;

#endif  // KERNEL_OSLISTOBJ_H_
