// The firmware remembers its work folder.
#include "core/internal.h"

__attribute__((visibility("default"))) void ApplHdd_SaveWorkFolder() { emu::detail::fwSaveWorkFolder(); }
