#include "frame/entry.h"

#include "os/os.h"

// Loading starts nothing and unloading releases nothing: every service is set
// up and torn down by its own calls.
void frame::on_load() { os::debug_output(frame::kLoadMessage); }

void frame::on_unload() { os::debug_output(frame::kUnloadMessage); }
