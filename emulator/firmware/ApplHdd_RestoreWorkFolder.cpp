// The firmware puts back the work folder it remembered.
#include "core/internal.h"

__attribute__((visibility("default"))) void ApplHdd_RestoreWorkFolder() { emu::detail::fwRestoreWorkFolder(); }
