#pragma once
// Memory the process has freed, handed back to the system.

namespace kiv {

/// Returns to the system what the heap holds free, where the platform's heap
/// keeps it otherwise (many small blocks freed together stay with the process).
void return_free_memory();

}  // namespace kiv
