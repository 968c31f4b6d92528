#include "frame/exports.h"

#include "vuvidur.h"

namespace frame {
namespace {

// Taking a function's address as void* is conditionally supported in C++ and
// supported by every compiler this library is built with.
template <typename T>
void *address_of(T *entity) {
    return reinterpret_cast<void *>(entity);
}

#define VESK_EXPORT(n, name) {n, #name, ExportKind::function, n, address_of(&name)},
#define VESK_ALIAS(n, target, name) {n, #name, ExportKind::alias, target, address_of(&name)},
#define VESK_DATA(n, name) {n, #name, ExportKind::data, n, address_of(&name)},
const ExportEntry kTable[] = {
#include "frame/export_table.inc"
};
#undef VESK_EXPORT
#undef VESK_ALIAS
#undef VESK_DATA

}  // namespace

std::span<const ExportEntry> export_table() { return kTable; }

}  // namespace frame

extern "C" VESK_API void *vesk_proc_by_ordinal(int ordinal) {
    for (const frame::ExportEntry &entry : frame::export_table()) {
        if (entry.ordinal == ordinal) return entry.address;
    }
    return nullptr;
}
