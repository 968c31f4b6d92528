// The ordinal table as data, for vesk_proc_by_ordinal and for the tests that
// check it against the exported names.
#pragma once

#include <span>

namespace frame {

enum class ExportKind { function, alias, data };

struct ExportEntry {
    int ordinal;
    const char *name;  // the C name of the function or variable
    ExportKind kind;
    int target;  // the ordinal whose code an alias shares; its own ordinal otherwise
    void *address;
};

// Highest ordinal of the original table.
inline constexpr int kLastOrdinal = 346;
// Functions the original table does not have are numbered from here on, so
// that no original number ever changes meaning.
inline constexpr int kFirstExtensionOrdinal = 1001;

std::span<const ExportEntry> export_table();

}  // namespace frame
