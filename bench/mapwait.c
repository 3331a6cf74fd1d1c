/* mapwait: runs one program and times it from the X server's side.
 *
 *   mapwait [-t TITLE] [-w MS] [-T SECONDS] [-n] -- PROGRAM [ARG...]
 *
 * It creates no window of its own: it listens for MapNotify on the root window,
 * starts PROGRAM, and stamps the first mapped toplevel whose title is TITLE (any
 * title without -t). It then reads the child's peak resident memory (VmHWM)
 * at once and again after MS milliseconds (default 300), closes the window the
 * way a window manager does (a WM_DELETE_WINDOW client message) and waits for
 * the child to end. With -n no window is expected: only the time to exit counts.
 *
 * One line on standard output, times in milliseconds from just before fork:
 *   map_ms=.. hwm_map_kb=.. hwm_kb=.. exit_ms=.. maxrss_kb=.. status=..
 *   cpu_map_ms=.. cpu_main_map_ms=..
 * cpu_map_ms is the CPU time all of the child's threads had used when the
 * window was mapped (cpu_main_map_ms: its main thread alone): the work done to
 * get there, less sensitive than map_ms to other load on the machine.
 * A value that could not be measured is -1. status is the exit code, "sigN",
 * "nomap" (the program ended without showing the window) or "timeout". */
#define _GNU_SOURCE
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec * 1e3 + (double)ts.tv_nsec / 1e6;
}

/* Windows may vanish between the event and our look at them. */
static int ignore_x_error(Display *dpy, XErrorEvent *ev) {
  (void)dpy;
  (void)ev;
  return 0;
}

static long read_status_kb(pid_t pid, const char *key) {
  char path[64], line[256];
  snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
  FILE *f = fopen(path, "r");
  if (!f) return -1;
  long value = -1;
  size_t keylen = strlen(key);
  while (fgets(line, sizeof line, f)) {
    if (strncmp(line, key, keylen) == 0 && line[keylen] == ':') {
      value = strtol(line + keylen + 1, NULL, 10);
      break;
    }
  }
  fclose(f);
  return value;
}

/* CPU time the child's threads have run so far, in ms (schedstat is in ns);
 * with main_only, only its main thread's. */
static double cpu_ms(pid_t pid, int main_only) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/task", (int)pid);
  DIR *tasks = opendir(path);
  if (!tasks) return -1;
  double total = 0;
  struct dirent *task;
  while ((task = readdir(tasks))) {
    if (task->d_name[0] == '.') continue;
    if (main_only && atoi(task->d_name) != (int)pid) continue;
    char stat_path[400];
    snprintf(stat_path, sizeof stat_path, "%s/%s/schedstat", path, task->d_name);
    FILE *f = fopen(stat_path, "r");
    if (!f) continue;
    unsigned long long ns = 0;
    if (fscanf(f, "%llu", &ns) == 1) total += (double)ns / 1e6;
    fclose(f);
  }
  closedir(tasks);
  return total;
}

/* The window's title, _NET_WM_NAME first, else WM_NAME; caller frees. */
static char *window_title(Display *dpy, Window w) {
  Atom net_wm_name = XInternAtom(dpy, "_NET_WM_NAME", False);
  Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char *data = NULL;
  if (XGetWindowProperty(dpy, w, net_wm_name, 0, 1024, False, utf8, &type, &format, &count,
                         &after, &data) == Success && data && type == utf8) {
    char *title = strdup((char *)data);
    XFree(data);
    return title;
  }
  if (data) XFree(data);
  char *name = NULL;
  if (XFetchName(dpy, w, &name) && name) {
    char *title = strdup(name);
    XFree(name);
    return title;
  }
  return NULL;
}

static int is_wanted_window(Display *dpy, const XMapEvent *ev, const char *title) {
  if (ev->override_redirect) return 0;
  if (!title) return 1;
  char *have = window_title(dpy, ev->window);
  int match = have && strcmp(have, title) == 0;
  free(have);
  return match;
}

static void close_window(Display *dpy, Window w) {
  XEvent ev;
  memset(&ev, 0, sizeof ev);
  ev.xclient.type = ClientMessage;
  ev.xclient.window = w;
  ev.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = (long)XInternAtom(dpy, "WM_DELETE_WINDOW", False);
  ev.xclient.data.l[1] = CurrentTime;
  XSendEvent(dpy, w, False, NoEventMask, &ev);
  XFlush(dpy);
}

/* Waits up to limit_ms for the child; returns 1 once it has ended. */
static int wait_child(pid_t pid, double limit_ms, int *status, struct rusage *usage) {
  double end = now_ms() + limit_ms;
  for (;;) {
    pid_t got = wait4(pid, status, WNOHANG, usage);
    if (got == pid) return 1;
    if (got < 0 && errno != EINTR) return 1;
    if (now_ms() >= end) return 0;
    usleep(1000);
  }
}

static void usage(void) {
  fputs("usage: mapwait [-t TITLE] [-w MS] [-T SECONDS] [-n] -- PROGRAM [ARG...]\n", stderr);
  exit(2);
}

int main(int argc, char **argv) {
  const char *title = NULL;
  long wait_after_map_ms = 300;
  double timeout_ms = 60000;
  int expect_window = 1;
  int opt;
  while ((opt = getopt(argc, argv, "+t:w:T:n")) != -1) {
    switch (opt) {
      case 't': title = optarg; break;
      case 'w': wait_after_map_ms = strtol(optarg, NULL, 10); break;
      case 'T': timeout_ms = strtod(optarg, NULL) * 1e3; break;
      case 'n': expect_window = 0; break;
      default: usage();
    }
  }
  if (optind >= argc) usage();

  Display *dpy = XOpenDisplay(NULL);
  if (!dpy) {
    fputs("mapwait: cannot open the display\n", stderr);
    return 2;
  }
  XSetErrorHandler(ignore_x_error);
  Window root = DefaultRootWindow(dpy);
  XSelectInput(dpy, root, SubstructureNotifyMask);
  XSync(dpy, False);
  int xfd = ConnectionNumber(dpy);
  fcntl(xfd, F_SETFD, FD_CLOEXEC);

  double start = now_ms();
  pid_t pid = fork();
  if (pid < 0) {
    perror("mapwait: fork");
    return 2;
  }
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      dup2(devnull, 0);
      dup2(devnull, 1);
      if (devnull > 2) close(devnull);
    }
    execvp(argv[optind], argv + optind);
    fprintf(stderr, "mapwait: cannot run %s: %s\n", argv[optind], strerror(errno));
    _exit(127);
  }

  double map_ms = -1, exit_ms = -1;
  double cpu_map_ms = -1, cpu_main_map_ms = -1;
  long hwm_map_kb = -1, hwm_kb = -1;
  int status = 0, ended = 0, timed_out = 0;
  struct rusage ru;
  memset(&ru, 0, sizeof ru);
  Window dialog = None;

  while (expect_window && dialog == None && !ended) {
    while (XPending(dpy)) {
      XEvent ev;
      XNextEvent(dpy, &ev);
      if (ev.type == MapNotify && is_wanted_window(dpy, &ev.xmap, title)) {
        map_ms = now_ms() - start;
        dialog = ev.xmap.window;
        break;
      }
    }
    if (dialog != None) break;
    if (wait4(pid, &status, WNOHANG, &ru) == pid) {
      ended = 1;
      exit_ms = now_ms() - start;
      break;
    }
    if (now_ms() - start > timeout_ms) break;
    struct pollfd pfd = {xfd, POLLIN, 0};
    poll(&pfd, 1, 2);
  }

  if (dialog != None) {
    cpu_map_ms = cpu_ms(pid, 0);
    cpu_main_map_ms = cpu_ms(pid, 1);
    hwm_map_kb = read_status_kb(pid, "VmHWM");
    usleep((useconds_t)wait_after_map_ms * 1000);
    hwm_kb = read_status_kb(pid, "VmHWM");
    close_window(dpy, dialog);
  }
  if (!ended) {
    double left = timeout_ms - (now_ms() - start);
    if (left < 5000) left = 5000;
    if (wait_child(pid, left, &status, &ru)) {
      exit_ms = now_ms() - start;
    } else {
      timed_out = 1;
      kill(pid, SIGKILL);
      wait4(pid, &status, 0, &ru);
    }
  }
  XCloseDisplay(dpy);

  char state[32];
  if (timed_out)
    snprintf(state, sizeof state, "timeout");
  else if (expect_window && dialog == None)
    snprintf(state, sizeof state, "nomap");
  else if (WIFSIGNALED(status))
    snprintf(state, sizeof state, "sig%d", WTERMSIG(status));
  else
    snprintf(state, sizeof state, "%d", WEXITSTATUS(status));
  printf("map_ms=%.2f hwm_map_kb=%ld hwm_kb=%ld exit_ms=%.2f maxrss_kb=%ld status=%s cpu_map_ms=%.2f "
         "cpu_main_map_ms=%.2f\n",
         map_ms, hwm_map_kb, hwm_kb, exit_ms, ru.ru_maxrss, state, cpu_map_ms, cpu_main_map_ms);
  return 0;
}
