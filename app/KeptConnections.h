// The database connection and the bound directory connection that a
// persistent worker (FastCGI mode) keeps from one request to the next.
//
// Lifetime: keeping is off until Enable(); a CGI process never enables it,
// so each request's connections close with its context as they always did.
// In a worker, each kept connection lives from the request that opened it
// until a request asks for one with other settings (it is closed and a new
// one opened), until it is found dead when taken (closed, and the request
// opens a new one once: a server restart or an idle time-out costs one
// reconnect, not a failed request), or until the worker ends. While a
// request runs, its connections belong to its PortalContext (taken at first
// use, handed back when the context is destroyed); between requests they
// belong here. A taken connection carries nothing of the request before:
// the database session is reset (time zone, variables, unread results) and
// the directory client has no search pending.
//
// The key of a connection is the text of every setting that opened it
// (ConnectionKey): a changed settings file gives another key, so the next
// request connects anew with the new settings.
//
// Thread safety: none; one request at a time per process.
#ifndef KEPTCONNECTIONS_H_
#define KEPTCONNECTIONS_H_

#include <initializer_list>

#include "common/UString.h"

class LDAPSession;
class SQLSession;

class KeptConnections {
 public:
  // Keeps connections between requests from now on.
  static void Enable();
  static bool Enabled();

  // The kept database connection of `key`, or null when there is none or it
  // failed its check (mysql_reset_connection); a connection of another key
  // is closed.
  static SQLSession* TakeSQL(const UString& key);
  // Keeps `session` (opened with `key`; may be null) for the next request,
  // or deletes it when keeping is off or it has no connection.
  static void PutSQL(SQLSession* session, const UString& key);

  // The kept directory session of `key`, or null when there is none or its
  // connection is no longer bound and quiet (closed by the server, or with
  // bytes no request asked for); a session of another key is closed.
  static LDAPSession* TakeLDAP(const UString& key);
  // Keeps `session` (opened with `key`; may be null) for the next request
  // when keeping is on and it owns a bound client, else deletes it.
  static void PutLDAP(LDAPSession* session, const UString& key);

  // Closes whatever is kept.
  static void CloseAll();
};

// The key of a connection opened with the settings `values`, in order.
UString ConnectionKey(std::initializer_list<const char*> values);

#endif  // KEPTCONNECTIONS_H_
