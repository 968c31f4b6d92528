// Load and unload notifications; the platform backend calls these from its
// entry point (an ELF constructor / destructor, or DllMain).
#pragma once

namespace frame {

inline constexpr char kLoadMessage[] = "\n Load Vuvidur\n";
inline constexpr char kUnloadMessage[] = "\n UnLoad Vuvidur\n";

void on_load();
void on_unload();

}  // namespace frame
