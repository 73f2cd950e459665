// The operator's self-check: "vxml.cgi --check [--user NAME]", run from a
// shell on the web server, does what a request would do, step by step, and
// prints one line per check to standard output:
//   ok   <what was checked>
//   FAIL <what failed>: <cause>: <fix>
//   skip <what was not checked>: <why>
// The checks: the settings file and each key it holds or needs; the
// database connection and the settings statement for the web user (NAME,
// else REMOTE_USER, else ""); the directory bind and one search like the
// call-back page's; the session directory writable and the stamp of its
// clean-up usable; the call server's voicemail archive readable. No line ever
// shows a password: every value of a password key is replaced by "***" wherever
// it would appear.
//
// Only the command-line flag starts it, and only when REQUEST_METHOD is not
// set: a web server sets that variable and may pass words of a query string
// as arguments, so no request can start the check.
#ifndef SELFCHECK_H_
#define SELFCHECK_H_

#include <cstdio>

// True when `argv` asks for the self-check ("--check" first) and the
// program was not started by a web server (no REQUEST_METHOD).
bool IsSelfCheckCall(int argc, char** argv);

// Runs the checks, writing the lines to `out`. Returns the exit status: 0
// when every check passed, 1 when one failed, 2 for a command line other
// than "--check [--user NAME]" (after a usage line).
int RunSelfCheck(int argc, char** argv, FILE* out);

#endif  // SELFCHECK_H_
