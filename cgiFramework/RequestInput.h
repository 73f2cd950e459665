// Where the request comes from: its CGI variables (QUERY_STRING, HTTP_COOKIE,
// REMOTE_USER, VXML_ROOT, ...) and its body.
//
// A CGI process reads them from its own environment and standard input,
// which is what RequestInput::Current() gives unless another input is
// installed. A persistent process (FastCGI) answers many requests, each with
// its own variables and body: it installs an input of its own for each
// request, so that nothing of one request is left in the process's
// environment for the next.
//
// Lifetime: an installed input belongs to its installer and must stay alive
// until it is uninstalled (Install(nullptr)); the process's own input lives
// as long as the process. Texts returned by Param stay valid until the input
// is uninstalled or changes to the next request.
//
// Thread safety: none; one request at a time per process.
#ifndef CGIFRAMEWORK_REQUESTINPUT_H_
#define CGIFRAMEWORK_REQUESTINPUT_H_

#include <sys/types.h>

#include <cstddef>

class RequestInput {
 public:
  virtual ~RequestInput() = default;

  // The value of the request variable `name`; null when the request has
  // none.
  virtual const char* Param(const char* name) = 0;
  // Reads up to `n` bytes of the request body into `buffer`: the number
  // read, 0 at its end, -1 on failure (errno says why; EINTR is retried by
  // the caller).
  virtual ssize_t ReadBody(char* buffer, size_t n) = 0;

  // The input of the request being answered.
  static RequestInput* Current();
  // Makes `input` the current one; null restores the process's own
  // (environment and standard input).
  static void Install(RequestInput* input);
};

// RequestInput::Current()->Param(name).
const char* RequestParam(const char* name);

// While it lives, the current input shows no request body (CONTENT_LENGTH
// reads as absent) and is otherwise unchanged: for a context that must not
// read a body that another one already failed on.
class RequestWithoutBody : public RequestInput {
 public:
  RequestWithoutBody();
  ~RequestWithoutBody() override;
  RequestWithoutBody(const RequestWithoutBody&) = delete;
  RequestWithoutBody& operator=(const RequestWithoutBody&) = delete;

  const char* Param(const char* name) override;
  ssize_t ReadBody(char* buffer, size_t n) override;

 private:
  RequestInput* const outer_;
  RequestInput* const installed_;  // what was installed before; may be null
};

#endif  // CGIFRAMEWORK_REQUESTINPUT_H_
