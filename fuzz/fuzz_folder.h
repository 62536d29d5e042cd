#pragma once
// What every fuzz target of the agent needs: a working folder of its own for
// the files the agent reads, and a window thread that keeps warnings quiet.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/window_thread.h"

namespace kiv_fuzz {

/// QuietWindow stands in for the status window: it counts the warnings it
/// is shown instead of printing them, and handles nothing else.
class QuietWindow : public kiv::WindowThread {
 public:
  void deliver(kiv::Notification) override {}
  void show_warning(const char*) override { ++warnings; }

  std::atomic<int> warnings{0};
};

/// Makes a fresh temporary folder the working folder and installs the quiet
/// window; returns the window. Call once, from LLVMFuzzerInitialize.
QuietWindow& enter_fuzz_folder();

/// Replaces the file `name` of the working folder with `size` bytes of `data`.
void write_file(const char* name, const uint8_t* data, size_t size);

}  // namespace kiv_fuzz
