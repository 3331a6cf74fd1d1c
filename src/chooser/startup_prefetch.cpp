#include "chooser/startup_prefetch.h"

#include <pango/pangocairo.h>

void PrefetchDialogFonts() {
  // The default font map is the calling thread's own and lives as long as the
  // thread; the toolkit takes the same one when it first lays out text.
  pango_cairo_font_map_get_default();
}
