#include "platform/files.h"

namespace kiv {

FILE* open_text_file(const char* name, const char* mode) { return fopen(name, mode); }

FILE* open_binary_file_for_reading(const char* name) { return fopen(name, "rb"); }

}  // namespace kiv
