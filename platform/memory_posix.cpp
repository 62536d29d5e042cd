#include "platform/memory.h"

#include <malloc.h>

namespace kiv {

void return_free_memory() { malloc_trim(0); }

}  // namespace kiv
