#include "support/child_process.h"

#include <sys/wait.h>
#include <unistd.h>

namespace lumivor::testing {

std::string RunInChild(const std::function<std::string()>& body) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return "SKIP: no pipe";
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    return "SKIP: no child process";
  }
  if (pid == 0) {
    ::close(pipe_fds[0]);
    const std::string result = body();
    for (std::size_t at = 0; at < result.size();) {
      const ssize_t n = ::write(pipe_fds[1], result.data() + at, result.size() - at);
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  std::string result;
  char buffer[4096];
  for (ssize_t got; (got = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) {
    result.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return result;
}

}  // namespace lumivor::testing
