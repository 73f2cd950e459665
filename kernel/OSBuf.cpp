#include "kernel/OSBuf.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kernel/OSConsole.h"
#include "kernel/OSCriticalSection.h"
#include "kernel/OSKernel.h"
#include "kernel/OSTime.h"

OSLinkList OSBuf::buffer_pool[OSBuf::kSizeClasses];
int OSBuf::min_count[OSBuf::kSizeClasses] = {};
OSTypedList<OSBuf>* OSBuf::allocated_list = nullptr;
OSCallbackFunction OSBuf::oob_callback = nullptr;

namespace {

// The block holding every buffer: per class, per buffer, the record, then
// (for a class with a data area) the area and its guard.
UBYTE* buffer_block = nullptr;

// Bytes one buffer of a class with `data_size` takes in the block, rounded
// so that the next record is aligned.
std::size_t Stride(int data_size) {
  std::size_t bytes = sizeof(OSBuf);
  if (data_size > 0) bytes += data_size + OSBuf::kGuardSize;
  const std::size_t align = alignof(OSBuf);
  return (bytes + align - 1) / align * align;
}

const KernelCfg* Cfg() {
  return KERNELCFG != nullptr ? KERNELCFG : &default_cfg;
}

// Requests for more bytes than a buffer can ever hold are refused outright.
constexpr int kMaxRequest = 0xFFFF;

bool Corrupt(const OSBuf* buf) {
  return (reinterpret_cast<std::uintptr_t>(buf) & 1) != 0 ||
         buf->id != OSBuf::kValidId;
}

// The first class that can hold `size` bytes and has a buffer free, or -1.
int ClassFor(int size) {
  if (size == 0) return OSBuf::buffer_pool[0].Size() > 0 ? 0 : -1;
  if (size < 0 || size > kMaxRequest) return -1;
  for (int c = 1; c < OSBuf::kSizeClasses; c++) {
    if (Cfg()->buf_size[c] > size && OSBuf::buffer_pool[c].Size() > 0) return c;
  }
  return -1;
}

void PrintAllocated() {
  for (OSBuf* buf : *OSBuf::allocated_list) buf->Print();
}

[[noreturn]] void OutOfBuffers(int size) {
  if (Console != nullptr) {
    Console->Print("OSBuffer::Alloc Out Of Buffers %d", size);
    PrintAllocated();
  }
  if (OSBuf::oob_callback != nullptr) OSBuf::oob_callback(nullptr, nullptr, 0);
  os_fatal("OSBuffer::Alloc Out Of Buffers %d", size);
}

// One console line per 16 bytes: offset, bytes in hexadecimal, then the
// bytes as text with "." for those that do not print.
void print_area(const UBYTE* p, int len) {
  for (int offset = 0; offset < len; offset += 16) {
    char line[96];
    int used = std::snprintf(line, sizeof(line), "%04x ", offset);
    const int n = std::min(16, len - offset);
    for (int i = 0; i < 16; i++) {
      if (i < n) {
        used += std::snprintf(line + used, sizeof(line) - used, " %02x",
                              p[offset + i]);
      } else {
        used += std::snprintf(line + used, sizeof(line) - used, "   ");
      }
    }
    used += std::snprintf(line + used, sizeof(line) - used, "  ");
    for (int i = 0; i < n; i++) {
      const UBYTE c = p[offset + i];
      line[used++] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    }
    line[used] = '\0';
    Console->Print("%s", line);
  }
}

// Forgets every element of `list` without touching them: their memory is
// going, or their links went with the link pool.
void Forget(OSLinkList* list) {
  list->next = list->previous = list;
  list->number_in_list = 0;
}

}  // namespace

// ---- Pools ----

void OSBuf::Initialise() {
  if (buffer_block != nullptr) return;
  InitializeCriticalSection(&OS_CRITICAL_BUFFERS);
  CriticalSectionLock lock(&OS_CRITICAL_BUFFERS);
  const KernelCfg* cfg = Cfg();
  std::size_t total = 0;
  for (int c = 0; c < kSizeClasses; c++) {
    if (cfg->buf_qty[c] > 0)
      total += Stride(cfg->buf_size[c]) * cfg->buf_qty[c];
  }
  buffer_block = static_cast<UBYTE*>(std::malloc(total > 0 ? total : 1));
  if (buffer_block == nullptr) os_fatal("OSBuf::Initialise Out Of Memory");
  allocated_list = new OSTypedList<OSBuf>(0);

  UBYTE* place = buffer_block;
  for (int c = 0; c < kSizeClasses; c++) {
    const int data_size = cfg->buf_size[c] > 0 ? cfg->buf_size[c] : 0;
    const int qty = cfg->buf_qty[c] > 0 ? cfg->buf_qty[c] : 0;
    for (int i = 0; i < qty; i++, place += Stride(data_size)) {
      OSBuf* buf = new (place) OSBuf;
      buf->id = kValidId;
      buf->home_q = &buffer_pool[c];
      buffer_pool[c].Insert(buf);
      if (data_size > 0) {
        buf->payload = place + sizeof(OSBuf);
        std::memset(buf->payload + data_size, kGuardByte, kGuardSize);
      }
      buf->length = kNeverAllocated;
      buf->flags = 3;
      buf->size = static_cast<unsigned short>(data_size);
      buf->data = buf->payload + buf->size;
    }
    min_count[c] = qty;
  }
}

void OSBuf::UnInitialise() {
  CriticalSectionLock lock(&OS_CRITICAL_BUFFERS);
  if (buffer_block == nullptr) return;
  for (OSLinkList& pool : buffer_pool) Forget(&pool);
  // With the link pool already released (os_cleanup releases it first) the
  // links of buffers still in use are gone with it.
  if (OSLink::link_pool == nullptr) allocated_list->Abandon();
  delete allocated_list;
  allocated_list = nullptr;
  std::free(buffer_block);
  buffer_block = nullptr;
}

int OSBuf::PoolSize(int size_id) {
  if (size_id < 0 || size_id >= kSizeClasses) return 0;
  CriticalSectionLock lock(&OS_CRITICAL_BUFFERS);
  return buffer_pool[size_id].Size();
}

// ---- Allocation and release ----

OSBuf* OSBuf::Alloc(int size) {
  CriticalSectionLock lock(&OS_CRITICAL_BUFFERS);
  const int c = ClassFor(size);
  if (c < 0) OutOfBuffers(size);
  OSBuf* buf = static_cast<OSBuf*>(buffer_pool[c].FirstObject());
  if (Corrupt(buf)) os_fatal("OSBuf::Alloc - Corrupt");
  buffer_pool[c].Remove(buf);
  buf->flags = 3;
  buf->length = 0;
  buf->data = buf->payload + buf->size;
  allocated_list->Append(buf);
  buf->timeStamp = os_clock();
  buf->destPtr = nullptr;
  buf->local_ipaddr = buf->remote_ipaddr = 0;
  buf->local_port = buf->remote_port = 0;
  min_count[c] = std::min(min_count[c], buffer_pool[c].Size());
  return buf;
}

OSBuf* OSBuf::Alloc(const UBYTE* dp, int len) {
  const int room = Cfg()->buf_min_space;
  // A negative or impossible length is refused by Alloc as out of buffers.
  OSBuf* buf = Alloc(len < 0 || len > kMaxRequest ? -1 : len + room);
  buf->PushBytes(dp, len);
  return buf;
}

OSBuf* OSBuf::Alloc(const char* s) {
  const std::size_t len = std::strlen(s);
  return Alloc(reinterpret_cast<const UBYTE*>(s),
               len > kMaxRequest ? -1 : static_cast<int>(len));
}

void OSBuf::Free() {
  if (Corrupt(this)) os_fatal("OSBuf::Free - Corrupt");
  if (payload != nullptr) {
    if (data < payload) {
      os_fatal("OSBuf::Free - Corrupted buffer - pushed down too far");
    }
    if (payload == OwnArea()) {
      const UBYTE* guard = payload + size;
      const bool intact = std::all_of(guard, guard + kGuardSize,
                                      [](UBYTE b) { return b == kGuardByte; });
      if (!intact) {
        const int offset = static_cast<int>(data - payload);
        os_fatal(
            "OSBuf::Free - Corrupted Overhang (size %d, data %d, length "
            "%d, overrun %d)",
            size, offset, length, offset + length - size);
      }
    }
  }
  if (length == kReleased) {
    os_fatal("OSBuffer::Free freed twice %p %d", static_cast<void*>(this),
             size);
  }

  // Outside the buffer lock: a callback may allocate or free buffers.
  OSCallback::ExecuteAll(&data_free_callback);
  OSCallback::ExecuteAll(&buffer_free_callback);

  CriticalSectionLock lock(&OS_CRITICAL_BUFFERS);
  allocated_list->Remove(this);
  home_q->Insert(this);
  length = kReleased;
  trace = 0;
  // A buffer pointed at the caller's memory gets its own area back.
  payload = OwnArea();
  size = static_cast<unsigned short>(payload != nullptr ? ClassSize() : 0);
}

OSBuf* OSBuf::Duplicate() {
  OSBuf* copy = Alloc(Cfg()->buf_min_space + length);
  copy->PushBytes(data, length);
  copy->trace = trace;
  return copy;
}

OSBuf* OSBuf::CopyData(const UBYTE* Adata, unsigned short Alength) {
  OSBuf* buf = this;
  if (Cfg()->buf_min_space + Alength < size) {
    length = 0;
    data = payload + size;
  } else {
    Free();
    buf = Alloc(Alength + Cfg()->buf_min_space);
  }
  buf->PushBytes(Adata, Alength);
  return buf;
}

// ---- Data ----

UBYTE* OSBuf::Push(std::size_t len, const char* msg) {
  if (len > static_cast<std::size_t>(data - payload)) os_fatal("%s", msg);
  data -= len;
  length = static_cast<unsigned short>(length + len);
  return data;
}

void OSBuf::PushBytes(const void* p, std::size_t len) {
  UBYTE* front = Push(len, "OSBuf::PushData Too far");
  // memmove: the bytes may come from this buffer's own area.
  if (len > 0) std::memmove(front, p, len);
}

void OSBuf::PushValue(unsigned long v, int count) {
  UBYTE* front = Push(count, "OSBuf::PushData Too far");
  for (int i = 0; i < count; i++) front[i] = static_cast<UBYTE>(v >> (8 * i));
}

void OSBuf::PushDown(unsigned short amount) {
  Push(amount, "OSBuf::Pushdown Too far");
}

void OSBuf::PushData(const UBYTE* p, unsigned short len) { PushBytes(p, len); }

void OSBuf::PushData(const UBYTE* p, const UBYTE* end) {
  if (end < p) os_fatal("OSBuf::PushData Too far");
  PushBytes(p, static_cast<std::size_t>(end - p));
}

void OSBuf::PushData(const char* s) { PushBytes(s, std::strlen(s)); }

void OSBuf::PushData(unsigned long l) { PushValue(l, 4); }

void OSBuf::PushData(unsigned int l) { PushValue(l, 4); }

void OSBuf::PushData(int l) { PushValue(static_cast<unsigned int>(l), 4); }

void OSBuf::PushData(unsigned short w) { PushValue(w, 2); }

void OSBuf::PushData(unsigned char b) { PushValue(b, 1); }

UBYTE* OSBuf::Pull(unsigned short len) {
  if (len > length) os_fatal("OSBuf::Pull Too far");
  UBYTE* front = data;
  data += len;
  length = static_cast<unsigned short>(length - len);
  return front;
}

unsigned long OSBuf::PullLong() {
  const UBYTE* p = Pull(4);
  return static_cast<unsigned long>(p[0]) |
         static_cast<unsigned long>(p[1]) << 8 |
         static_cast<unsigned long>(p[2]) << 16 |
         static_cast<unsigned long>(p[3]) << 24;
}

int OSBuf::PullInt() {
  return static_cast<int>(static_cast<uint32_t>(PullLong()));
}

unsigned short OSBuf::PullWord() {
  const UBYTE* p = Pull(2);
  return static_cast<unsigned short>(p[0] | p[1] << 8);
}

unsigned char OSBuf::PullByte() { return *Pull(1); }

void OSBuf::PullData(UBYTE* dst, unsigned short len) {
  const UBYTE* p = Pull(len);
  if (len > 0) std::memcpy(dst, p, len);
}

void OSBuf::PullUp(unsigned short len) { Pull(len); }

void OSBuf::SetPayload(UBYTE* p, unsigned short len) {
  payload = data = p;
  size = length = len;
}

void OSBuf::AddDataCallback(OSCallback* cb) {
  if (cb != nullptr) cb->AppendTo(&data_free_callback);
}

void OSBuf::AddBufferCallback(OSCallback* cb) {
  if (cb != nullptr) cb->AppendTo(&buffer_free_callback);
}

OSBuf* OSBuf::Compact(OSBuf* buf, unsigned short max_length) {
  const int min_space = Cfg()->buf_min_space;
  int room = size - length - min_space;
  if (room <= 0) return buf;
  if (max_length != 0 && max_length < length + room) room = max_length - length;
  const int count = std::min(room, static_cast<int>(buf->length));
  if (count <= 0) return buf;

  UBYTE* start = payload + min_space;
  if (data > start) {
    if (length > 0) std::memmove(start, data, length);
    data = start;
  }
  std::memcpy(data + length, buf->data, count);
  buf->data += count;
  buf->length = static_cast<unsigned short>(buf->length - count);
  length = static_cast<unsigned short>(length + count);
  if (buf->length > 0) return buf;

  OSCallback::MoveAll(&buf->data_free_callback, &data_free_callback);
  buf->Free();
  return nullptr;
}

// ---- Diagnostics ----

void OSBuf::Print() {
  if (Console == nullptr) return;
  const unsigned age = (os_clock() - timeStamp) / 1000;
  Dl_info info;
  if (destPtr != nullptr && dladdr(destPtr, &info) != 0 &&
      info.dli_sname != nullptr) {
    char where[64] = "";
    if (local_ipaddr != 0 || remote_ipaddr != 0) {
      char local[INET_ADDRSTRLEN];
      char remote[INET_ADDRSTRLEN];
      in_addr a;
      a.s_addr = local_ipaddr;
      inet_ntop(AF_INET, &a, local, sizeof(local));
      a.s_addr = remote_ipaddr;
      inet_ntop(AF_INET, &a, remote, sizeof(remote));
      std::snprintf(where, sizeof(where), "[%s:%u,%s:%u]", local,
                    ntohs(local_port), remote, ntohs(remote_port));
    }
    Console->Print(
        "Buf: buf %p, data=%p, size %d, len %d, age %us, ptr %p (%s) %s",
        static_cast<void*>(this), static_cast<void*>(data), size, length, age,
        destPtr, info.dli_sname, where);
  } else {
    Console->Print("Buf: buf %p, data=%p, size %d, len %d, age %us, ptr %p",
                   static_cast<void*>(this), static_cast<void*>(data), size,
                   length, age, destPtr);
  }
  if (data != nullptr) print_area(data, std::min(static_cast<int>(length), 64));
}

void OSBuf::dump_allocated() {
  if (Console == nullptr) return;
  CriticalSectionLock lock(&OS_CRITICAL_BUFFERS);
  PrintAllocated();
  Console->Print("OSBuffer: L=%04d CB=%04d B=%02d,%02d,%02d,%02d",
                 OSLink::link_pool_size, OSCallback::callback_pool_size,
                 buffer_pool[0].Size(), buffer_pool[1].Size(),
                 buffer_pool[2].Size(), buffer_pool[3].Size());
}

// ---- Helpers ----

int OSBuf::ClassSize() {
  return std::max(0, Cfg()->buf_size[home_q - buffer_pool]);
}

UBYTE* OSBuf::OwnArea() {
  if (ClassSize() == 0) return nullptr;
  return reinterpret_cast<UBYTE*>(this) + sizeof(OSBuf);
}
