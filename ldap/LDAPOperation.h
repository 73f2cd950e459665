// Identifier octets of the directory protocol (LDAP) operations, shared by
// the request builders, the message decoders and the client.
#ifndef LDAP_LDAPOPERATION_H_
#define LDAP_LDAPOPERATION_H_

enum LDAPOp : unsigned char {
  kOpBindRequest = 0x60,
  kOpBindResponse = 0x61,
  kOpUnbindRequest = 0x42,
  kOpSearchRequest = 0x63,
  kOpSearchEntry = 0x64,
  kOpSearchDone = 0x65,
  kOpModifyRequest = 0x66,
  kOpModifyResponse = 0x67,
  kOpAddRequest = 0x68,
  kOpAddResponse = 0x69,
  kOpDelRequest = 0x4A,
  kOpDelResponse = 0x6B,
  kOpModRDNRequest = 0x6C,
  kOpModRDNResponse = 0x6D,
  kOpCompareRequest = 0x6E,
  kOpCompareResponse = 0x6F,
  kOpAbandonRequest = 0x50,
};

#endif  // LDAP_LDAPOPERATION_H_
