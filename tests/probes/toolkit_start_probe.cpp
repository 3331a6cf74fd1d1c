// Starts the toolkit and nothing else: what the toolkit prints by itself, to
// hold the program's own output against.
#include <dirent.h>
#include <dlfcn.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstring>

namespace {

// Where the toolkit has started the font library on a thread of its own
// (pango's, named "[pango] fontconfig"), that thread prints the library's
// complaints some time later, often after the process has ended. At exit the
// library is started here as well, which returns only once its complaints are
// out: every line the toolkit can print is printed.
void FinishTheToolkitsFontStart() {
  bool started = false;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (const dirent* task = readdir(tasks)) {
      char path[300], name[32] = "";
      std::snprintf(path, sizeof path, "/proc/self/task/%s/comm", task->d_name);
      if (FILE* comm = std::fopen(path, "r")) {
        started |= std::fgets(name, sizeof name, comm) && std::strncmp(name, "[pango] fontc", 13) == 0;
        std::fclose(comm);
      }
    }
    closedir(tasks);
  }
  if (auto start = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "FcInit")); started && start) start();
}

}  // namespace

int main(int argc, char** argv) {
  std::atexit(FinishTheToolkitsFontStart);
  gtk_init(&argc, &argv);
  return 0;
}
