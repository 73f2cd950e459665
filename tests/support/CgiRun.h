// Running the program (VXML_CGI) directly, as a web server runs a CGI, and
// the small file helpers of the tests that do.
#ifndef TESTS_SUPPORT_CGIRUN_H_
#define TESTS_SUPPORT_CGIRUN_H_

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/Env.h"

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

// What the program wrote and its exit status when run directly.
struct CgiRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the program as the web server runs it: the environment `env` only,
// `body` on standard input, in the working directory `dir`.
inline CgiRun RunCgi(const std::vector<std::string>& env,
                     const std::string& dir, const std::string& body = "") {
  CgiRun run;
  const std::string in_path = dir + "/cgi.in", out_path = dir + "/cgi.out",
                    err_path = dir + "/cgi.err";
  WriteFile(in_path, body);
  std::string program = Env("VXML_CGI");
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> envp;
    for (const std::string& e : env)
      envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    int in = open(in_path.c_str(), O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || chdir(dir.c_str()) != 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    char* argv[] = {const_cast<char*>("vxml.cgi"), nullptr};
    execve(program.c_str(), argv, envp.data());
    _exit(127);
  }
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    run.status = WEXITSTATUS(status);
  }
  run.out = ReadFile(out_path);
  run.err = ReadFile(err_path);
  return run;
}

#endif  // TESTS_SUPPORT_CGIRUN_H_
