// Where the program's fixed files live.
//
// The program addresses its files by fixed absolute paths under two roots,
// "/Korvelund" (settings, sessions, reports) and "/hosts" (voicemail
// archives). SitePath moves both roots under the directory named by the
// request variable VXML_ROOT (cgiFramework/RequestInput.h: the
// environment of a CGI process) when that is set and not empty, so that tests
// and demonstrations run against a private tree; in production the variable
// is unset and every path stays as written.
#ifndef CGIFRAMEWORK_SITEPATHS_H_
#define CGIFRAMEWORK_SITEPATHS_H_

#include "common/UString.h"

// Returns `path` prefixed with VXML_ROOT when `path` lies under one of the
// fixed roots ("/Korvelund" or "/hosts", as its whole first component) and
// VXML_ROOT is set and not empty. Any other path, a null path (returned as
// the empty text) and every path without VXML_ROOT come back unchanged, so
// applying SitePath twice gives the same result as applying it once (as long
// as VXML_ROOT does not itself lie under a fixed root).
UString SitePath(const char* path);

#endif  // CGIFRAMEWORK_SITEPATHS_H_
