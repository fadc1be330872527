// The output file: the one place that decides how the converted text is
// written.
#ifndef NLFLIP_OUTPUT_H
#define NLFLIP_OUTPUT_H

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
  //  - existing: straight into the file, truncated;
  //  - same_file: into a temporary file beside the input that replaces it
  //    once complete (where none can be made there, into a spool file that
  //    is then copied over the original).
  enum class Way { new_file, existing, same_file };

  static Way way_for(const platform::FileStatus &input, const platform::FileStatus &output);

  Output(const char *name, Way way) : name_(name), way_(way) {}
  ~Output() override;
  Output(const Output &) = delete;
  Output &operator=(const Output &) = delete;

  // False when the output cannot be created.
  bool open();
  bool write(const char *data, std::size_t size) override;
  // Closes the output through the guarded close and gives it its name;
  // false when that fails (the guarded close reports a full disk itself).
  bool finish();
  // Closes after a failed write; the guarded close still reports a full disk.
  void abandon();

 private:
  bool copy_spool_over_original();

  const char *name_;
  Way way_;
  std::FILE *stream_ = nullptr;
  std::string temp_name_;
  bool spooled_ = false;  // the text went to a spool file first
};

}  // namespace nlflip

#endif  // NLFLIP_OUTPUT_H
