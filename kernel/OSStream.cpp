#include "kernel/OSStream.h"

#include <algorithm>
#include <cstring>

OSStream::OSStream(int Acompressible, char delete_on_destroy)
    : OSQueue(delete_on_destroy), compressible(Acompressible) {
  Flush();
}

OSStream::~OSStream() { Flush(); }

void OSStream::SetMaxFragment(unsigned short Amax) { max_buffer_size = Amax; }

void OSStream::SetMaxLength(unsigned long Amax, unsigned long Amax_buffers) {
  max_total_length = static_cast<DWORD>(Amax);
  max_num_buffers = static_cast<DWORD>(Amax_buffers);
}

void OSStream::SetCompressible(int Acompressible) {
  compressible = Acompressible;
}

void OSStream::Add(OSBuf* buf) {
  if (!compressible) {
    total_length += buf->length;
    Append(buf);
  } else {
    // Oversized buffers are cut into pieces of max_buffer_size bytes, each
    // added on its own; the last piece keeps the buffer and its callbacks.
    while (max_buffer_size != 0 && buf->length > max_buffer_size) {
      Add(buf->data, max_buffer_size);
      buf->PullUp(max_buffer_size);
    }
    AddChunk(buf);
    total_length += buf->length;
    OSBuf* last = static_cast<OSBuf*>(LastObject());
    OSBuf* rest = last != nullptr ? last->Compact(buf, max_buffer_size) : buf;
    if (rest != nullptr) Append(rest);
  }
  if (static_cast<DWORD>(number_in_list) > max_num_buffers) Get()->Free();
}

void OSStream::Add(const UBYTE* dp, unsigned short len) {
  Add(OSBuf::Alloc(dp, len));
}

void OSStream::Add(const TEXT* s) { Add(OSBuf::Alloc(s)); }

OSBuf* OSStream::Get() {
  OSBuf* buf = static_cast<OSBuf*>(FirstObject());
  if (buf == nullptr) return nullptr;
  Remove(buf);
  DiscardLen(buf->length);
  return buf;
}

unsigned long OSStream::Discard(unsigned long len) {
  unsigned long consumed = 0;
  while (consumed < len) {
    OSBuf* buf = static_cast<OSBuf*>(FirstObject());
    if (buf == nullptr) break;
    const unsigned long wanted = len - consumed;
    if (buf->length <= wanted) {
      consumed += buf->length;
      Remove(buf);
      buf->Free();
    } else {
      buf->PullUp(static_cast<unsigned short>(wanted));
      consumed += wanted;
    }
  }
  DiscardLen(static_cast<int>(consumed));
  return consumed;
}

unsigned long OSStream::Read(unsigned long offset, unsigned long len,
                             UBYTE* dst) {
  unsigned long copied = 0;
  OSListIterator it(this);
  while (copied < len) {
    OSBuf* buf = static_cast<OSBuf*>(it.Next());
    if (buf == nullptr) break;
    if (offset >= buf->length) {
      offset -= buf->length;
      continue;
    }
    const unsigned long n = std::min(buf->length - offset, len - copied);
    std::memcpy(dst + copied, buf->data + offset, n);
    copied += n;
    offset = 0;
  }
  return copied;
}

int OSStream::Getc() {
  UBYTE c;
  if (total_length == 0 || Read(0, 1, &c) == 0) return -1;
  Discard(1);
  return c;
}

bool OSStream::Get(UBYTE* dst) {
  const int c = Getc();
  if (c < 0) return false;
  *dst = static_cast<UBYTE>(c);
  return true;
}

unsigned long OSStream::Length() { return total_length; }

bool OSStream::IsFull() {
  return total_length >= max_total_length ||
         static_cast<DWORD>(number_in_list) >= max_num_buffers;
}

void OSStream::Flush() {
  // Buffers go back to their pool; they are never deleted, whatever the
  // queue's delete flag says.
  while (OSBuf* buf = static_cast<OSBuf*>(FirstObject())) {
    OSLinkList::Remove(buf);
    buf->Free();
  }
  CheckTrigger();
  while (comp_r != comp_w) {
    RunChunk(comp_r);
    comp_r = (comp_r + 1) % kChunkSlots;
  }
  total_length = 0;
}

void OSStream::AddChunk(OSBuf* buf) {
  const int next = (comp_w + 1) % kChunkSlots;
  if (next == comp_r) {
    // The ring is full: the bytes join the newest pending chunk, so that no
    // callback runs before its bytes have left.
    const int newest = (comp_w + kChunkSlots - 1) % kChunkSlots;
    OSCallback::MoveAll(&buf->data_free_callback, &comp_callbacks[newest]);
    comp_lengths[newest] += buf->length;
    return;
  }
  OSCallback::MoveAll(&buf->data_free_callback, &comp_callbacks[comp_w]);
  comp_lengths[comp_w] = buf->length;
  comp_w = next;
}

void OSStream::DiscardLen(int count) {
  DWORD remaining = static_cast<DWORD>(count);
  // Chunks are retired in order once all their bytes are gone; a chunk that
  // is only partly gone keeps its callbacks and the bytes still to go.
  while (comp_r != comp_w && (remaining > 0 || comp_lengths[comp_r] == 0)) {
    if (comp_lengths[comp_r] > remaining) {
      comp_lengths[comp_r] -= remaining;
      break;
    }
    remaining -= comp_lengths[comp_r];
    RunChunk(comp_r);
    comp_r = (comp_r + 1) % kChunkSlots;
  }
  total_length -= std::min(total_length, static_cast<DWORD>(count));
}

void OSStream::RunChunk(int slot) {
  comp_lengths[slot] = 0;
  OSCallback::ExecuteAll(&comp_callbacks[slot]);
}
