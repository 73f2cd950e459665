// A byte stream held as a queue of data buffers: bytes are added at the back
// in buffers and read or consumed from the front as one sequence.
//
// A compressible stream packs each added buffer into the free room of the
// last one (up to `max_buffer_size` bytes per buffer) and keeps the added
// buffers' data-release callbacks in a ring of 32 chunk slots, one slot per
// added buffer; a slot's callbacks run once all of its bytes have left the
// front of the stream (Get, Discard, Getc) or when the stream is flushed.
// A non-compressible stream keeps the buffers as added, and their callbacks
// run when each buffer is freed.
//
// The stream owns the buffers it holds: Get hands one back to the caller, the
// other operations free what they consume. Not locked; the owner serialises
// access.
#ifndef KERNEL_OSSTREAM_H_
#define KERNEL_OSSTREAM_H_

#include "kernel/OSBuf.h"
#include "kernel/OSQueue.h"
#include "kernel/OSTypes.h"

class OSStream : public OSQueue {
 public:
  static constexpr int kChunkSlots = 32;

  OSStream(int Acompressible, char delete_on_destroy);
  // Flushes: frees the buffers and runs the pending chunk callbacks.
  ~OSStream() override;
  OSStream(const OSStream&) = delete;
  OSStream& operator=(const OSStream&) = delete;

  void SetMaxFragment(unsigned short Amax);  // largest packed buffer
  // Limits for IsFull (`Amax` bytes) and for Add (`Amax_buffers` buffers:
  // adding beyond it frees the oldest buffer and its bytes).
  void SetMaxLength(unsigned long Amax, unsigned long Amax_buffers);
  void SetCompressible(int Acompressible);

  // Takes ownership of `buf` and adds its bytes at the back.
  void Add(OSBuf* buf);
  // Adds a copy of `len` bytes at `dp`, or of a text without terminator, in
  // a new buffer; like OSBuf::Alloc, ends the process when no buffer can
  // hold them.
  void Add(const UBYTE* dp, unsigned short len);
  void Add(const TEXT* s);

  // Removes the first buffer and hands it to the caller; null when empty.
  OSBuf* Get();
  // Consumes up to `len` bytes from the front; returns how many were held.
  unsigned long Discard(unsigned long len);
  // Copies up to `len` bytes starting `offset` bytes into the stream to
  // `dst` without consuming them; returns the number copied.
  unsigned long Read(unsigned long offset, unsigned long len, UBYTE* dst);
  // The first byte, consumed, or -1 when the stream is empty.
  int Getc();
  // Stores the first byte in `dst` and consumes it; false when empty.
  bool Get(UBYTE* dst);
  // Bytes held.
  unsigned long Length();
  // True when `total_length` has reached `max_total_length` (0 unless set,
  // so a stream without limits reports full) or the buffer count has
  // reached `max_num_buffers`.
  bool IsFull();
  // Frees every buffer and runs the callbacks of every pending chunk slot.
  void Flush() override;

  DWORD total_length = 0;                  // bytes held
  unsigned short max_buffer_size = 10000;  // largest packed buffer
  DWORD max_total_length = 0;              // IsFull limit in bytes
  DWORD max_num_buffers = 1000000;  // buffers kept before the oldest goes
  int compressible = 0;
  OSLinkHead comp_callbacks[kChunkSlots];  // callbacks of each chunk slot
  DWORD comp_lengths[kChunkSlots] = {};    // bytes of each chunk still held
  int comp_w = 0;                          // next slot to fill
  int comp_r = 0;  // oldest pending slot; the ring is empty when equal

 private:
  // Accounts for `count` bytes that left the front: retires the chunk slots
  // whose bytes are all gone, running their callbacks, and reduces
  // `total_length`.
  void DiscardLen(int count);
  // Records `buf`'s data-release callbacks and length as a new chunk slot.
  void AddChunk(OSBuf* buf);
  // Runs and releases the callbacks of slot `slot`.
  void RunChunk(int slot);
};

#endif  // KERNEL_OSSTREAM_H_
