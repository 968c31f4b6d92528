// The library's entry point on ELF platforms: a constructor and a destructor
// that the dynamic loader runs when the shared object is loaded and unloaded.
#include "frame/entry.h"

__attribute__((constructor)) static void posix_library_load() { frame::on_load(); }

__attribute__((destructor)) static void posix_library_unload() { frame::on_unload(); }
