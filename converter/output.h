// The output file: the one place that decides how the converted text is
// written.
#ifndef NLFLIP_OUTPUT_H
#define NLFLIP_OUTPUT_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "platform.h"
#include "stream.h"

namespace nlflip {

class Output : public Sink {
 public:
  // How the text reaches the named file:
  //  - new_file: into a temporary file beside it, which takes the name once
  //    complete, so that a failure leaves no output behind;
  //  - direct: straight into a device or FIFO, which is no file to replace;
  //  - replace: an existing regular file, the input itself or another, is
  //    replaced by a temporary file beside it once that is complete, on the
  //    disk and given the file's metadata, and only while the file is still
  //    as it was at the start.  A file with other names (hard links), or one
  //    that no such temporary file can replace, is rewritten in place from a
  //    copy of the text instead: room for the text is allocated first, and
  //    interruptions wait until the copy is done.
  enum class Way { new_file, direct, replace };

  enum class Opened {
    ok,
    cannot_create,
    cannot_spool,  // the copy of the text for an in-place rewrite
    changed,       // the file to replace is no longer what it was at the start
  };

  enum class Finished {
    done,
    write_failed,
    cannot_rewrite_in_place,
    changed,  // the file to replace is no longer what it was at the start
  };

  static Way way_for(const platform::FileStatus &output);

  // The output's status is what the name denoted at the start.
  Output(const char *name, Way way, const platform::FileStatus &status)
      : name_(name), way_(way), status_(status) {}
  ~Output() override;
  Output(const Output &) = delete;
  Output &operator=(const Output &) = delete;

  Opened open();
  bool write(const char *data, std::size_t size) override;
  // Whether the text is kept in a spool file in the temporary directory
  // before it is copied over the file.
  bool spooling() const { return spooling_; }
  // Gives the output its name, or its text to the file it replaces.
  Finished finish();
  // Closes after a failed write or finish; the guarded close still reports
  // a full disk.
  void abandon();
  // After a failed finish: where the replacement lost the original, the
  // temporary file that was kept with the new text; null otherwise.
  const std::string *kept_name() const { return temp_ != nullptr ? temp_->kept_name() : nullptr; }

 private:
  Opened open_for_replacing();
  bool open_original();
  // Whether the name still denotes the file to replace.
  bool still_named() const;
  Finished replace_by_temp();
  platform::Taken take_name(platform::Replacing what);
  Finished rewrite_in_place(std::FILE *text);
  Finished copy_over_original(std::FILE *text);
  // Closes a stream written to the output's disk; false when closing failed
  // or the disk is full.
  bool close_checked(std::FILE *&stream);
  // Closes the stream of the text when what was written is given up.
  void discard_stream();

  const char *name_;
  Way way_;
  platform::FileStatus status_;
  std::unique_ptr<platform::TempFile> temp_;
  std::FILE *stream_ = nullptr;    // where the converted text goes
  std::FILE *original_ = nullptr;  // the file to rewrite in place
  bool spooling_ = false;
  std::uint64_t written_ = 0;
};

}  // namespace nlflip

#endif  // NLFLIP_OUTPUT_H
