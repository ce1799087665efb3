// CasServerProcess: tests/support/cas_server.py as a child process on a free
// loopback port, stopped (SIGTERM, then waited for) when the object ends. The
// server also stops by itself when this process dies, through its stdin.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace turnpike {

class CasServerProcess {
 public:
  explicit CasServerProcess(const std::vector<std::string>& extra_arguments = {});
  ~CasServerProcess();
  CasServerProcess(const CasServerProcess&) = delete;
  CasServerProcess& operator=(const CasServerProcess&) = delete;

  bool running() const { return port_ != 0; }
  // "http://127.0.0.1:PORT"
  std::string url() const;

 private:
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int port_ = 0;
};

// A loopback port on which nothing listens (bound once, then released).
int UnusedLoopbackPort();

}  // namespace turnpike
