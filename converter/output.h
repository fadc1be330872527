// The output file: the one place that decides how the converted text is
// written.
#ifndef NLFLIP_OUTPUT_H
#define NLFLIP_OUTPUT_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform.h"
#include "stream.h"

namespace nlflip {

class Output : public Sink {
 public:
  // How the text reaches the named file:
  //  - new_file: into a temporary file beside it, which takes the name once
  //    complete, so that a failure leaves no output behind;
  //  - existing: straight into the file, truncated (also a device or FIFO
  //    named as both input and output);
  //  - same_file: into a temporary file beside the input that replaces it
  //    once complete, keeping its owner and permissions, unless the name
  //    denotes another file by then.  Where no such file can be made there,
  //    the text goes to a spool file first and is then copied over the
  //    original, once room for it has been allocated and with interruptions
  //    held off.
  enum class Way { new_file, existing, same_file };

  enum class Finished { done, write_failed, cannot_rewrite_in_place };

  static Way way_for(const platform::FileStatus &input, const platform::FileStatus &output);

  // The output's status is what the name denoted when the way was chosen.
  Output(const char *name, Way way, const platform::FileStatus &status)
      : name_(name), way_(way), status_(status) {}
  ~Output() override;
  Output(const Output &) = delete;
  Output &operator=(const Output &) = delete;

  // False when the output cannot be created.
  bool open();
  bool write(const char *data, std::size_t size) override;
  // Closes the output (through the guarded close, where its disk can be
  // full) and gives it its name.
  Finished finish();
  // Closes after a failed write; the guarded close still reports a full disk.
  void abandon();

 private:
  std::FILE *create_temp(platform::Replacing what);
  Finished rewrite_in_place();
  // Closes a stream written to the file of that name; false when closing
  // failed, the disk is full or the file has gone.
  bool close_checked(std::FILE *&stream, const char *written_name);

  const char *name_;
  Way way_;
  platform::FileStatus status_;
  std::FILE *stream_ = nullptr;    // where the converted text goes
  std::FILE *original_ = nullptr;  // the file to rewrite in place from the spool
  std::string temp_name_;
  std::uint64_t written_ = 0;
};

}  // namespace nlflip

#endif  // NLFLIP_OUTPUT_H
