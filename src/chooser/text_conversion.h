// Program text (ISO-8859-15, one byte per character) to UTF-8 for the toolkit.
// The way back, FromToolkitText, is the runtime's (runtime/text_decoding.h).
#pragma once

#include <string>

#include "chooser/toolkit_owners.h"
#include "desktop/message_text.h"

// UTF-8 of text read as ISO-8859-15; a g_strdup'd copy of text when it cannot
// be converted, of "" for null. Never null.
GText ToToolkitText(const char* text);
