#include "output.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "common.h"

namespace nlflip {

using platform::Replacing;

namespace {

using Outcome = Ending::Outcome;

// What the name denotes: for the input itself, what it was at opening,
// since the input is read only as far as its size then and the file is
// replaced only while it is still as it was.
Snapshot start_of_output(const char *name, const Input &input) {
  const platform::FileStatus output = platform::status_of(name);
  return input.opened().same_file(output) ? input.opened() : Snapshot(output);
}

// What the in-place copy's own writes have made of the file: its size as
// they leave it and its modification time as last seen after them, a
// snapshot that another program's write or cut meanwhile no longer matches
// (a write of the same size within the same tick of the file system's clock
// does not show).
class OwnWrites {
 public:
  explicit OwnWrites(std::FILE *file) : file_(file), expected_(platform::status_of(file)) {}

  // After room for size bytes was reserved, which changes the time, and on
  // Windows grows the file to that size.
  void reserved(std::uint64_t size) {
    const std::int64_t before = expected_.taken().size;
    platform::FileStatus now = platform::status_of(file_);
    if (now.size != std::max(before, static_cast<std::int64_t>(size))) {
      now.size = before;
    }
    expected_ = Snapshot(now);
  }
  void wrote_to(std::uint64_t end) {
    platform::FileStatus now = platform::status_of(file_);
    now.size = std::max(expected_.taken().size, static_cast<std::int64_t>(end));
    expected_ = Snapshot(now);
  }
  bool undisturbed() const { return expected_.still_open(file_); }

 private:
  std::FILE *file_;
  Snapshot expected_;
};

}  // namespace

Output::Output(const char *name, const Input &input)
    : name_(name),
      start_(start_of_output(name, input)),
      same_file_(input.opened().same_file(start_.taken())),
      direct_(start_.taken().exists && !start_.taken().regular),
      what_(start_.taken().exists ? Replacing::existing_file : Replacing::new_file) {}

Output::~Output() {
  for (std::FILE *stream : {stream_, original_}) {
    if (stream != nullptr) {
      std::fclose(stream);
    }
  }
}

Ending Output::changed() const {
  return {same_file_ ? Outcome::reading_error : Outcome::writing_error, 0};
}

Ending Output::read_ahead(Input &input) {
  // A file that cannot be identified might be the input under another name.
  if (start_.taken().unidentified || input.status().unidentified) {
    return {Outcome::cannot_create, 0};
  }
  if (write_ahead(input)) {
    const Ending converted = ending_of(flip_stream(input.source(), this));
    if (converted.outcome != Outcome::writing_error) {
      written_ahead_ = converted.done();
      input.close();
      return converted;
    }
    // No room beside the file, say: the input is checked instead, and the
    // file asked about all the same.
    discard_stream();
    temp_.reset();
    written_ = 0;
  }
  return input.check();
}

bool Output::write_ahead(const Input &input) {
  // Only a file of known size can be read again should that fail, and only
  // a file with one name is replaced by a new one.
  if (direct_ || start_.taken().links != 1 || !input.sized()) {
    return false;
  }
  temp_ = platform::TempFile::unnamed_beside(name_, start_.taken());
  stream_ = temp_ != nullptr ? temp_->open_stream() : nullptr;
  return stream_ != nullptr;
}

Ending Output::write(Input &input) {
  if (written_ahead_) {
    return finish();
  }
  // A file that shrank while the user was asked is not converted.
  if (exists() && input.shrank()) {
    return {Outcome::reading_error, 0};
  }
  const Ending opened = open();
  return opened.done() ? convert(input) : opened;
}

Ending Output::convert(Input &input) {
  const Converted converted = flip_stream(input.source(), this);
  input.close();
  switch (converted.outcome) {
    case Converted::Outcome::done:
      return finish();
    case Converted::Outcome::too_long:
      // A checked input that now has a too long line has changed under the
      // run.
      return what_ == Replacing::new_file ? ending_of(converted)
                                          : Ending{Outcome::reading_error, 0};
    case Converted::Outcome::write_error:
      return {spooling_ ? Outcome::spooling_error : Outcome::writing_error, 0};
    case Converted::Outcome::read_error:
    case Converted::Outcome::unsupported:
      break;
  }
  return ending_of(converted);
}

Ending Output::open() {
  if (start_.taken().unreachable) {
    return {Outcome::cannot_create, 0};
  }
  if (direct_) {
    stream_ = platform::open_file(name_, "wb");
  } else if (what_ == Replacing::existing_file) {
    return open_for_replacing();
  } else {
    temp_ = platform::TempFile::beside(name_, Replacing::new_file, start_.taken());
    stream_ = temp_ != nullptr ? temp_->open_stream() : nullptr;
  }
  return {stream_ != nullptr ? Outcome::done : Outcome::cannot_create, 0};
}

Ending Output::open_for_replacing() {
  if (!start_.still_named(name_)) {
    return changed();
  }
  // Where the system would refuse this user to create the file (another
  // user's file in a shared sticky directory), it is not written either.
  if (platform::creation_refused(name_)) {
    return {Outcome::cannot_create, 0};
  }
  // Another name of the file would keep the old text if a new file took
  // this one.
  if (start_.taken().links == 1) {
    temp_ = platform::TempFile::beside(name_, Replacing::existing_file, start_.taken());
  }
  if (temp_ != nullptr) {
    stream_ = temp_->open_stream();
    return {stream_ != nullptr ? Outcome::done : Outcome::cannot_create, 0};
  }
  if (!open_original()) {
    return {Outcome::cannot_create, 0};
  }
  spooling_ = true;
  stream_ = platform::open_spool();
  return {stream_ != nullptr ? Outcome::done : Outcome::spooling_error, 0};
}

bool Output::open_original() {
  original_ = platform::open_file(name_, "r+b");
  if (original_ != nullptr && !start_.same_file(platform::status_of(original_))) {
    std::fclose(std::exchange(original_, nullptr));
  }
  return original_ != nullptr;
}

bool Output::write(const char *data, std::size_t size) {
  written_ += size;
  return platform::write_all(stream_, data, size);
}

bool Output::close_checked(std::FILE *&stream) {
  std::FILE *closing = std::exchange(stream, nullptr);
  if (!platform::has_free_space_figure(closing, name_)) {
    return std::fclose(closing) == 0;
  }
  return common::Fclose(closing, name_) == 0;
}

void Output::discard_stream() {
  if (stream_ != nullptr) {
    std::fclose(std::exchange(stream_, nullptr));
  }
}

Ending Output::finish() {
  if (direct_) {
    return {close_checked(stream_) ? Outcome::done : Outcome::writing_error, 0};
  }
  // Where the system would refuse this user to create the file, it is not
  // written either; the text written ahead goes.
  if (what_ == Replacing::existing_file && written_ahead_ && platform::creation_refused(name_)) {
    return {Outcome::cannot_create, 0};
  }
  if (spooling_) {
    return rewrite_in_place(stream_);
  }
  // A directory moved meanwhile would get the file under another name.
  if (!temp_->directory_in_place()) {
    discard_stream();
    return {Outcome::writing_error, 0};
  }
  if (what_ == Replacing::existing_file) {
    return replace_by_temp();
  }
  return {close_checked(stream_) && take_name() == platform::Taken::yes ? Outcome::done
                                                                        : Outcome::writing_error,
          0};
}

Ending Output::replace_by_temp() {
  const bool metadata_taken = temp_->take_metadata();
  if (!temp_->flush() || !close_checked(stream_)) {
    return {Outcome::writing_error, 0};
  }
  const platform::FileStatus target = temp_->target_status();
  if (!start_.still(target)) {
    return changed();
  }
  // A file that has gained a name meanwhile, whose metadata this user cannot
  // give to another file, or that another program holds open, can still be
  // rewritten in place.  A file whose owner changed its metadata after the
  // temporary file took it is not replaced: that would undo the change.
  if (target.links == 1 && metadata_taken) {
    if (!temp_->metadata_unchanged()) {
      return changed();
    }
    switch (take_name()) {
      case platform::Taken::yes:
        return {};
      case platform::Taken::not_flushed:
        return {Outcome::writing_error, 0};
      case platform::Taken::no:
        break;
    }
    // A replacement that lost the original has kept the new text.
    if (temp_->kept_name() != nullptr) {
      return {Outcome::writing_error, 0};
    }
  }
  if (!open_original()) {
    return {Outcome::writing_error, 0};
  }
  return rewrite_in_place(temp_->contents());
}

platform::Taken Output::take_name() {
  // Once the name is taken, the text is in place: an interruption can no
  // longer undo it.
  platform::InterruptionsHeld held;
  const platform::Taken taken = temp_->take_name();
  if (taken != platform::Taken::no) {
    held.to_the_end();
  }
  return taken;
}

Ending Output::rewrite_in_place(std::FILE *text) {
  if (!start_.still_open(original_) || !start_.same_file(platform::status_of(name_))) {
    return changed();
  }
  platform::InterruptionsHeld held;
  const Ending rewritten = copy_over_original(text);
  if (rewritten.done()) {
    held.to_the_end();
  }
  return rewritten;
}

Ending Output::copy_over_original(std::FILE *text) {
  // Allocating and writing take set-id bits and capabilities away; a file
  // whose bits this user could not give back is not touched.
  const platform::Privileges privileges = platform::Privileges::of(original_);
  if (!privileges.restorable()) {
    return {Outcome::cannot_rewrite_in_place, 0};
  }
  const platform::OthersHeldOff held_off(original_);
  OwnWrites own(original_);
  // Room for the whole text first: a full disk is found before any byte of
  // the original changes.  Then the original cannot run out of room, so
  // the free space left afterwards does not matter.
  switch (platform::reserve(original_, written_)) {
    case platform::Reserved::done:
      break;
    case platform::Reserved::unsupported:
      return {Outcome::cannot_rewrite_in_place, 0};
    case platform::Reserved::no_space:
    case platform::Reserved::failed:
      return {Outcome::writing_error, 0};
  }
  own.reserved(written_);
  // Another writer stops the copy, and what it wrote is not cut away.
  const std::unique_ptr<char[]> block(new char[kChunk]);
  for (std::uint64_t offset = 0; offset < written_;) {
    const std::int64_t got = platform::read_at(text, block.get(), kChunk, offset);
    if (got <= 0 || !own.undisturbed() ||
        !platform::write_at(original_, block.get(), static_cast<std::size_t>(got), offset)) {
      return {Outcome::writing_error, 0};
    }
    offset += static_cast<std::uint64_t>(got);
    own.wrote_to(offset);
  }
  return {own.undisturbed() && platform::truncate(original_, written_) &&
                  privileges.restore(original_) && platform::flush(original_) &&
                  static_cast<std::uint64_t>(platform::status_of(original_).size) == written_
              ? Outcome::done
              : Outcome::writing_error,
          0};
}

void Output::abandon() {
  // The spool is on another disk than the output's.
  std::FILE *&written = spooling_ || stream_ == nullptr ? original_ : stream_;
  if (written != nullptr) {
    close_checked(written);
  }
}

}  // namespace nlflip
