// The output file: the one place that decides how the converted text is
// written, and that tells what came of it.
#ifndef NLFLIP_OUTPUT_H
#define NLFLIP_OUTPUT_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "ending.h"
#include "input.h"
#include "platform.h"
#include "snapshot.h"
#include "stream.h"

namespace nlflip {

// How the text reaches the named file:
//  - a new file: into a temporary file beside it, which takes the name once
//    complete, so that a failure leaves no output behind;
//  - directly: into a device or FIFO, which is no file to replace;
//  - an existing regular file, the input itself or another, is replaced by a
//    temporary file beside it once that is complete, on the disk and given
//    the file's metadata, and only while the file is still as it was at the
//    start.  A file with other names (hard links), or one that no such
//    temporary file can replace, is rewritten in place from a copy of the
//    text instead: room for the text is allocated first, and interruptions
//    wait until the copy is done.
class Output : public Sink {
 public:
  // What the name denotes now, and whether that is the input.
  Output(const char *name, const Input &input);
  ~Output() override;
  Output(const Output &) = delete;
  Output &operator=(const Output &) = delete;

  const char *name() const { return name_; }
  // Whether a file of that name exists, so that the user is asked first.
  bool exists() const { return start_.taken().exists; }

  // Before the prompt: reads the input through.  A regular input for a file
  // that a temporary file can replace is converted into one that has no
  // name yet (Linux), so that the answer y only gives it the file's place
  // and no or an interruption leaves nothing; any other input is checked,
  // and a pipe or device kept.
  Ending read_ahead(Input &input);
  // After the answer: converts the input unless that was done ahead, and
  // gives the output its name, or its text to the file it replaces.
  Ending write(Input &input);
  bool write(const char *data, std::size_t size) override;
  // Closes after a writing failure; the guarded close still reports a full
  // disk.
  void abandon();
  // After a writing failure: where a replacement lost the original, the
  // temporary file that was kept with the new text; null otherwise.
  const std::string *kept_name() const { return temp_ != nullptr ? temp_->kept_name() : nullptr; }

 private:
  // What a change of the file to replace means: its own text read wrongly,
  // or another file that is not to be replaced.
  Ending changed() const;

  bool write_ahead(const Input &input);
  Ending open();
  Ending open_for_replacing();
  bool open_original();
  Ending convert(Input &input);
  Ending finish();
  Ending replace_by_temp();
  platform::Taken take_name();
  Ending rewrite_in_place(std::FILE *text);
  Ending copy_over_original(std::FILE *text);
  // Closes a stream written to the output's disk; false when closing failed
  // or the disk is full.
  bool close_checked(std::FILE *&stream);
  // Closes the stream of the text when what was written is given up.
  void discard_stream();

  const char *name_;
  Snapshot start_;            // what the name denoted at the start
  bool same_file_;            // as the input
  bool direct_;               // a device or FIFO, written as it is
  platform::Replacing what_;  // where a temporary file goes: a new file, or one to replace
  std::unique_ptr<platform::TempFile> temp_;
  std::FILE *stream_ = nullptr;    // where the converted text goes
  std::FILE *original_ = nullptr;  // the file to rewrite in place
  bool spooling_ = false;          // the text waits in TMPDIR for an in-place rewrite
  bool written_ahead_ = false;
  std::uint64_t written_ = 0;
};

}  // namespace nlflip

#endif  // NLFLIP_OUTPUT_H
