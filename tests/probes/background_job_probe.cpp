// Runs a program as a background job of a terminal, the way a shell with job
// control runs "program &": this process leads a new session with the terminal
// as its controlling terminal, and the program runs in a process group of its
// own that is not the terminal's foreground group. Prints "exited <status>",
// or "stopped <signal>" when the terminal stopped the job (which is then
// killed). With --foreground first, the job gets the terminal's foreground
// instead, as "program" without "&" would.
//   background_job_probe [--foreground] <terminal path> <program> [arguments...]
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  const bool foreground = argc > 1 && std::strcmp(argv[1], "--foreground") == 0;
  if (foreground) {
    --argc;
    ++argv;
  }
  if (argc < 3) return 2;
  if (setsid() < 0) return 3;
  const int terminal = open(argv[1], O_RDWR);
  if (terminal < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0) return 4;
  const pid_t job = fork();
  if (job == 0) {
    setpgid(0, 0);
    if (foreground) {
      // Taking the terminal from a background group needs SIGTTOU ignored.
      signal(SIGTTOU, SIG_IGN);
      tcsetpgrp(terminal, getpgrp());
      signal(SIGTTOU, SIG_DFL);
    }
    dup2(terminal, 0);
    close(terminal);
    execv(argv[2], argv + 2);
    _exit(127);
  }
  setpgid(job, job);
  int status = 0;
  if (waitpid(job, &status, WUNTRACED) != job) return 5;
  if (WIFSTOPPED(status)) {
    std::printf("stopped %d\n", WSTOPSIG(status));
    kill(job, SIGKILL);
    waitpid(job, &status, 0);
  } else if (WIFEXITED(status)) {
    std::printf("exited %d\n", WEXITSTATUS(status));
  } else {
    std::printf("signalled %d\n", WTERMSIG(status));
  }
  return 0;
}
