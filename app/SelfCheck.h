// The program's command line, for the operator. Run from a shell (not by a
// web server), vxml.cgi takes one command:
//   --check [--user NAME]  the self-check (below)
//   --version              prints "vxml.cgi <version>"
//   --help                 prints the usage
// Anything else, no command included, prints the usage on the error stream
// and exits with kBadCommandLine.
//
// The self-check does what a request would do, step by step, and prints one
// line per check:
//   ok   <what was checked>
//   FAIL <what failed>: <cause>: <fix>
//   skip <what was not checked>: <why>
// The checks: the settings file line by line (comment and empty lines
// skipped; a line that is not name=value, a text after "&", an unknown or
// repeated key, a NUL byte fail, each naming its line) and every key the
// program knows (set, unset with what the program does then, or missing);
// the database connection; the directory bind (at the configured server or
// the one the program falls back to) and one search like the call-back
// page's; the session directory writable. With --user NAME also the portal
// settings of the web user NAME at the portal's VirtualHost and the call
// server's voicemail archive; without it these two are skipped, saying so.
// The exit status counts only what was checked: 0 when nothing failed, 1
// otherwise. Each wait of the check is bounded and the whole check ends
// within the request time limit (30 s) whatever the servers do; should it
// not, the request watchdog ends it (exit status 3).
//
// No line shows any part of a password: a secret key's value is never
// printed, and a line that may hold part of one (a text after "&", a line
// without "=", a comment) is named by its number and the key before it only.
//
// Not thread-safe: sets process-wide time-outs of the database and
// directory clients.
#ifndef SELFCHECK_H_
#define SELFCHECK_H_

#include <cstdio>

// Exit status for a command line that names no command or a wrong one.
constexpr int kBadCommandLine = 2;

// True when the program was started from a shell rather than by a web
// server: none of the CGI variables REQUEST_METHOD, GATEWAY_INTERFACE and
// QUERY_STRING is set. A web server sets them (and may pass words of a
// query string as arguments), so no request reaches the command line.
bool IsCommandLineCall();

// Runs the command of `argv`, writing what it prints to `out` and the usage
// after a wrong command line to `err`. Returns the exit status.
int RunCommandLine(int argc, char** argv, FILE* out, FILE* err);

#endif  // SELFCHECK_H_
