#include "platform/memory.h"

#include <windows.h>

namespace kiv {

void return_free_memory() { HeapCompact(GetProcessHeap(), 0); }

}  // namespace kiv
