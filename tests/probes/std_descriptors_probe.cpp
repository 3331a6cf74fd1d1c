// Closes the standard descriptors named on the command line, as if the
// process had been started without them, runs the console's guard and then
// opens files the way start-up does (the display connection too with
// STASHWICK_PROBE_TOOLKIT: X, or Wayland for GTK 3 there). Writes to the report file (argument 1) one line
// per standard descriptor, "<fd> <target> <access mode>", and the descriptors
// the later opens received.
//   std_descriptors_probe <report> [0] [1] [2]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#if GTK_CHECK_VERSION(3, 0, 0)
#include <gdk/gdkwayland.h>
#endif

#include "chooser/toolkit_start.h"
#include "runtime/arguments.h"
#include "runtime/console.h"

namespace {

std::string Target(int fd) {
  char buffer[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
  return n < 0 ? "closed" : std::string(buffer, static_cast<size_t>(n));
}

const char* AccessMode(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return "none";
  switch (flags & O_ACCMODE) {
    case O_RDONLY: return "r";
    case O_WRONLY: return "w";
    default: return "rw";
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string reportPath = argv[1];
  for (int i = 2; i < argc; ++i) close(std::atoi(argv[i]));
  ConsoleGuardStandardDescriptors();

  QV_ArgC = 1;
  QV_ArgV = argv;
  ArgumentStartup();
  ConsoleStartup();
  int xConnection = -1;
  if (std::getenv("STASHWICK_PROBE_TOOLKIT")) {
    ToolkitInit();
    GdkDisplay* display = gdk_display_get_default();
#if GTK_CHECK_VERSION(3, 0, 0)
    if (GDK_IS_WAYLAND_DISPLAY(display))
      xConnection = wl_display_get_fd(gdk_wayland_display_get_wl_display(display));
    else
#endif
      xConnection = ConnectionNumber(GDK_DISPLAY_XDISPLAY(display));
  }
  const int plainFile = open("/dev/zero", O_RDONLY | O_CLOEXEC);

  FILE* report = std::fopen(reportPath.c_str(), "w");
  if (!report) return 3;
  for (int fd = 0; fd < 3; ++fd) std::fprintf(report, "%d %s %s\n", fd, Target(fd).c_str(), AccessMode(fd));
  std::fprintf(report, "file %d\nx %d\n", plainFile, xConnection);
  return std::fclose(report) == 0 ? 0 : 4;
}
