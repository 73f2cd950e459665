#include "kernel/OSIO.h"

#include <cstring>

#include "kernel/OSBuf.h"

namespace {
OSIO null_io;
}  // namespace

OSIO* const OSNullIO = &null_io;

OSIOAddress::OSIOAddress(char* dest) {
  destination[0] = '\0';
  if (dest != nullptr) {
    std::strncpy(destination, dest, sizeof(destination) - 1);
    destination[sizeof(destination) - 1] = '\0';
  }
}

OSIO::OSIO() : partner(OSNullIO) {}

OSIO::~OSIO() { UnBind(); }

OSIO::OSIORetCode OSIO::DataIndication(OSBuf* buf) {
  if (buf != nullptr) buf->Free();
  return NotSupported;
}

OSIO::OSIORetCode OSIO::DataExpeditedIndication(OSBuf* buf) {
  return DataIndication(buf);
}

OSIO::OSIORetCode OSIO::DatagramIndication(OSBuf* buf, void* /*destination*/,
                                           void* /*source*/) {
  return DataIndication(buf);
}

OSIO::OSIORetCode OSIO::ConnectIndication(OSIOAddress* /*address*/) {
  return NotSupported;
}

OSIO::OSIORetCode OSIO::DisconnectIndication(OSIOReason /*reason*/,
                                             int /*code*/) {
  return NotSupported;
}

OSIO::OSIORetCode OSIO::Configure(OSIOParam* /*param*/) { return NotSupported; }

OSIO::OSIORetCode OSIO::SetModem(OSIOModem /*modem*/) { return NotSupported; }

OSIO::OSIORetCode OSIO::GetModem(OSIOModem& modem) {
  modem = static_cast<OSIOModem>(DTR | RTS | DSR | DCD | CTS);
  return NotSupported;
}

OSIO::OSIORetCode OSIO::RecoverBuffer(OSBuf** pbuf) {
  *pbuf = nullptr;
  return NotSupported;
}

OSIO::OSIORetCode OSIO::Service(OSIOParam* /*param*/) { return NotSupported; }

void OSIO::Bind(OSIO* to) {
  Attach(to);
  to->Attach(this);
}

void OSIO::UnBind() {
  if (IsBound()) partner->Detach();
  Detach();
}

void OSIO::Attach(OSIO* to) { partner = to; }

void OSIO::Detach() { partner = OSNullIO; }

bool OSIO::IsBound() const { return partner != nullptr && partner != OSNullIO; }
