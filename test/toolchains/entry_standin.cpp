// The extension's entry point without Ruby, for targets whose Ruby headers
// cannot be had here: declared and exported as escape.cpp declares it, and
// reaching every kernel through the dispatch, as the real one does.
#include "escape_core.h"

extern "C" CGIESC_EXPORT void Init_escape(void) {
    const char *volatile name = cgiesc::best_kernel().name;
    (void)name;
}
