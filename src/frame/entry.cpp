#include "frame/entry.h"

#include "os/os.h"

// Loading starts nothing and unloading releases nothing: every service is set
// up and torn down by its own calls.
void frame_on_load() { os_debug_output(kLoadMessage); }

void frame_on_unload() { os_debug_output(kUnloadMessage); }
