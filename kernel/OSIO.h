// Generic I/O endpoint: a pair of endpoints bound to each other hand data
// buffers to their partner through the "indication" operations.
//
// Every operation of the base class refuses politely (NotSupported) and an
// unbound endpoint's partner is OSNullIO, so a derived endpoint overrides only
// what it supports. Buffers passed to DataIndication and its companions become
// the receiving endpoint's: it sends or frees them, the caller must not touch
// them again. An endpoint is not locked; one thread uses it at a time.
#ifndef KERNEL_OSIO_H_
#define KERNEL_OSIO_H_

#include "kernel/OSListObj.h"

class OSBuf;

// A parameter record for Configure/Service/ConnectIndication.
class OSIOParam {
 public:
  virtual ~OSIOParam() = default;
  virtual int Type() = 0;
};

// The address of a connection, as text.
class OSIOAddress : public OSIOParam {
 public:
  // Copies `dest` (cut to fit, always NUL-terminated); null leaves it empty.
  explicit OSIOAddress(char* dest);
  int Type() override { return 0; }

  char destination[132];
};

class OSIO : public OSListObj {
 public:
  enum OSIORetCode {
    Success = 0,
    Blocked = 1,
    NoConnection = 2,
    NoRoute = 3,
    NotSupported = 4,
    BufferContainsResult = 5
  };
  enum OSIOReason {
    Busy = 0,
    Congestion = 1,
    UnReachable = 2,
    Timeout = 3,
    Failed = 4,
    Normal = 5,
    Gone = 6
  };
  // Modem-line bit flags.
  enum OSIOModem {
    DTR = 1,
    RTS = 2,
    DRS = 4,
    RI = 8,
    DSR = 16,
    DCD = 32,
    CTS = 64,
    BO = 128
  };

  OSIO();
  // Unbinds from the partner.
  ~OSIO() override;
  OSIO(const OSIO&) = delete;
  OSIO& operator=(const OSIO&) = delete;

  // Takes ownership of `buf`. The base frees it and returns NotSupported.
  virtual OSIORetCode DataIndication(OSBuf* buf);
  // Both pass `buf` (ownership included) to DataIndication in the base.
  virtual OSIORetCode DataExpeditedIndication(OSBuf* buf);
  virtual OSIORetCode DatagramIndication(OSBuf* buf, void* destination,
                                         void* source);
  // The base returns NotSupported for each of these.
  virtual OSIORetCode ConnectIndication(OSIOAddress* address);
  virtual OSIORetCode DisconnectIndication(OSIOReason reason, int code);
  virtual OSIORetCode Configure(OSIOParam* param);
  virtual OSIORetCode SetModem(OSIOModem modem);
  // Sets `modem` to DTR|RTS|DSR|DCD|CTS (115); returns NotSupported.
  virtual OSIORetCode GetModem(OSIOModem& modem);
  // Sets `*pbuf` to null; returns NotSupported.
  virtual OSIORetCode RecoverBuffer(OSBuf** pbuf);
  virtual OSIORetCode Service(OSIOParam* param);
  // Attaches this endpoint to `to` and `to` to this endpoint.
  virtual void Bind(OSIO* to);
  // Detaches the partner (when it is a real endpoint), then this endpoint.
  virtual void UnBind();
  virtual void Attach(OSIO* to);
  virtual void Detach();

  OSIO* Partner() { return partner; }
  // True when the partner is a real endpoint.
  bool IsBound() const;

 protected:
  OSIO* partner;  // bound endpoint, or OSNullIO
};

// The endpoint every unbound endpoint points at; it accepts and frees data.
extern OSIO* const OSNullIO;

#endif  // KERNEL_OSIO_H_
