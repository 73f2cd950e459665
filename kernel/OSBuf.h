// Pooled data buffers: a fixed data area from one of four size classes,
// filled from the back so that protocol layers can push headers in front of
// the data without copying, and read from the front.
//
// Every buffer is pre-allocated at start-up (KERNELCFG->buf_size/buf_qty) in
// one block; each data area is followed by a 64-byte guard of 0xA5 bytes that
// Free checks, so overruns and double releases are caught when the buffer is
// released. Multi-byte values are pushed and pulled least significant byte
// first. Misuse (pushing or pulling past the data, corruption, running out)
// ends the process through Console->Fatal.
//
// Ownership passes with the pointer: whoever holds an allocated buffer hands
// it on (a queue, a stream, OSIO::DataIndication) or calls Free. The pools and
// `allocated_list` are guarded by OS_CRITICAL_BUFFERS, taken before the
// link-pool lock; the data of one buffer is used by one holder and not locked.
#ifndef KERNEL_OSBUF_H_
#define KERNEL_OSBUF_H_

#include <cstddef>

#include "kernel/OSCallback.h"
#include "kernel/OSList.h"
#include "kernel/OSTypedList.h"
#include "kernel/OSTypes.h"

class OSBuf : public OSLinkListObj {
 public:
  // Number of size classes and the guard that follows each data area.
  static constexpr int kSizeClasses = 4;
  static constexpr int kGuardSize = 64;
  static constexpr UBYTE kGuardByte = 0xA5;
  static constexpr DWORD kValidId = 0x44556677;
  // `length` of a buffer never allocated and of one released.
  static constexpr unsigned short kNeverAllocated = 21845;
  static constexpr unsigned short kReleased = 43690;

  // Builds every class pool in one block and initialises OS_CRITICAL_BUFFERS.
  // Called once by os_startup, after OSLink::Initialise.
  static void Initialise();
  // Releases the block and `allocated_list`. No buffer may be used afterwards.
  static void UnInitialise();
  // Number of free buffers of class `size_id` (0-3); 0 for another id.
  static int PoolSize(int size_id);

  // A buffer whose data area is larger than `size` (class 0, without data
  // area, for 0), from the smallest class that has one free. The buffer is
  // empty: `length` 0, `data` at the end of the area. When no class can
  // serve the request (none large enough, all exhausted, or a negative
  // size) the buffers in use are printed, `oob_callback` runs, and the
  // process ends with "OSBuffer::Alloc Out Of Buffers %d". A damaged pool
  // buffer is fatal too ("OSBuf::Alloc - Corrupt"). Never null.
  static OSBuf* Alloc(int size);
  // A buffer holding a copy of `len` bytes at `dp`, with at least
  // KERNELCFG->buf_min_space bytes of room in front of them.
  static OSBuf* Alloc(const UBYTE* dp, int len);
  // The same for a text, without its terminator.
  static OSBuf* Alloc(const char* s);

  // Prints every buffer in use, then the free links, callbacks and buffers
  // of each class: "OSBuffer: L=%04d CB=%04d B=%02d,%02d,%02d,%02d".
  static void dump_allocated();

  // Called with (0, 0, 0) when the buffers run out, just before the process
  // ends; null unless the program sets it.
  static OSCallbackFunction oob_callback;

  OSBuf() = default;
  ~OSBuf() override = default;
  OSBuf(const OSBuf&) = delete;
  OSBuf& operator=(const OSBuf&) = delete;

  // Returns the buffer to its pool after checking it for corruption (fatal:
  // "OSBuf::Free - Corrupt", "... pushed down too far", "... Corrupted
  // Overhang ...", "OSBuffer::Free freed twice %p %d") and running its
  // data-release callbacks, then its buffer-release callbacks, in order.
  // The caller must not use the buffer afterwards.
  void Free() override;

  // A new buffer with a copy of the data (and the trace flag).
  OSBuf* Duplicate();
  // Replaces the data with a copy of `Alength` bytes at `Adata`. Reuses this
  // buffer when it is large enough, otherwise frees it and allocates another.
  // Returns the buffer that now holds the data; this one may be gone.
  OSBuf* CopyData(const UBYTE* Adata, unsigned short Alength);

  // Extends the data `amount` bytes towards the front (the new bytes are
  // whatever the area held). Fatal "OSBuf::Pushdown Too far" when that would
  // start before the data area.
  void PushDown(unsigned short amount);
  // Copies bytes in front of the data. Fatal "OSBuf::PushData Too far" when
  // they do not fit in front.
  void PushData(const UBYTE* p, unsigned short len);
  void PushData(const UBYTE* p, const UBYTE* end);  // the bytes [p, end)
  void PushData(const char* s);                     // without terminator
  // Values in front of the data, least significant byte first: 4 bytes for
  // the long and int forms (the low 32 bits), 2 for a short, 1 for a byte.
  void PushData(unsigned long l);
  void PushData(unsigned int l);
  void PushData(int l);
  void PushData(unsigned short w);
  void PushData(unsigned char b);

  // Read and consume values at the front, least significant byte first.
  // Fatal "OSBuf::Pull Too far" when the data holds fewer bytes.
  unsigned long PullLong();
  int PullInt();
  unsigned short PullWord();
  unsigned char PullByte();
  // Copies `len` bytes from the front to `dst` and consumes them; fatal as
  // the pulls above when fewer are held.
  void PullData(UBYTE* dst, unsigned short len);
  // Drops `len` bytes from the front; fatal as the pulls when fewer are held.
  void PullUp(unsigned short len);

  // Points the buffer at `len` bytes of the caller's memory at `p`, which
  // then form its whole data area and its data. That memory must outlive the
  // buffer's use; Free gives the buffer its own area back and does not check
  // a guard after the caller's bytes.
  void SetPayload(UBYTE* p, unsigned short len);

  // Registers `cb` to run when the data, or the buffer, is released. A null
  // `cb` (the callback pool was empty) is ignored.
  void AddDataCallback(OSCallback* cb);
  void AddBufferCallback(OSCallback* cb);

  // Moves bytes from the front of `buf` to the end of this buffer's data,
  // keeping KERNELCFG->buf_min_space free in front and, when `max_length` is
  // not 0, this buffer's length within `max_length` (which must not be below
  // the current length). Returns `buf` while it still holds data; otherwise
  // moves its data-release callbacks here, frees it and returns null.
  OSBuf* Compact(OSBuf* buf, unsigned short max_length);

  // Prints the buffer's header line and up to 64 data bytes on the console.
  void Print();

  OSLinkList* home_q = nullptr;     // the class pool the buffer returns to
  UBYTE* payload = nullptr;         // data area; null for class 0
  unsigned short size = 0;          // bytes in the data area
  OSLinkHead data_free_callback;    // run when the data is released
  OSLinkHead buffer_free_callback;  // run when the buffer is released
  UBYTE* data = nullptr;            // first byte of the current data
  unsigned short length = 0;        // data bytes from `data`
  UBYTE trace = 0;                  // trace flag, copied by Duplicate
  UBYTE flags = 0;                  // 3 once initialised or allocated
  DWORD id = 0;                     // kValidId in every sound buffer
  DWORD timeStamp = 0;              // os_clock() at allocation
  void* destPtr = nullptr;         // code the buffer is meant for (diagnostics)
  DWORD local_ipaddr = 0;          // network byte order
  DWORD remote_ipaddr = 0;         // network byte order
  unsigned short remote_port = 0;  // network byte order
  unsigned short local_port = 0;   // network byte order

  static OSLinkList buffer_pool[kSizeClasses];  // free buffers per class
  static int min_count[kSizeClasses];  // fewest free buffers seen per class
  static OSTypedList<OSBuf>* allocated_list;  // buffers in use

 private:
  // Makes room for `len` more bytes in front of the data and returns the new
  // front; fatal with `msg` when they do not fit.
  UBYTE* Push(std::size_t len, const char* msg);
  void PushBytes(const void* p, std::size_t len);
  // Writes the low `count` bytes of `v` in front, least significant first.
  void PushValue(unsigned long v, int count);
  // Consumes `len` bytes at the front and returns where they started; fatal
  // ("OSBuf::Pull Too far") when fewer are held.
  UBYTE* Pull(unsigned short len);
  // Data bytes of the buffer's own area (0 for class 0).
  int ClassSize();
  // The data area this buffer owns in the block (null for class 0).
  UBYTE* OwnArea();
};

#endif  // KERNEL_OSBUF_H_
