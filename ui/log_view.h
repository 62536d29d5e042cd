#pragma once
// The text of the Log dialog, built from the event log.

#include <memory>

namespace kiv {

/// LogView is the text that the Log dialog shows: every line of the event log,
/// each followed by a CR LF line break. It is rebuilt whole, in one block sized for
/// it, only when the log holds more lines than the text does; a flush that
/// empties the log leaves the text as it was until then. Used on the window
/// thread only.
class LogView {
 public:
  enum class Refresh { Unchanged, Rebuilt, OutOfMemory };

  /// Rebuilds the text if the log now holds more lines than it shows. The
  /// pass over the log never interleaves with an append or a flush. On
  /// OutOfMemory the text is gone and the next refresh tries again.
  Refresh refresh();
  /// Drops the text: the next refresh rebuilds at once if the log holds a line.
  void clear();

  /// The text now shown ("" when none).
  const char* text() const { return text_ ? text_.get() : ""; }
  int lines_shown() const { return lines_shown_; }

 private:
  std::unique_ptr<char[]> text_;
  int lines_shown_ = 0;
};

}  // namespace kiv
