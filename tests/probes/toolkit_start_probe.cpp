// Starts the toolkit and nothing else: what the toolkit prints by itself, to
// hold the program's own output against.
#include <gtk/gtk.h>

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  return 0;
}
