#include "output.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "common.h"

namespace nlflip {

using platform::Replacing;

Output::Way Output::way_for(const platform::FileStatus &output) {
  if (!output.exists) {
    return Way::new_file;
  }
  return output.regular ? Way::replace : Way::direct;
}

Output::~Output() {
  for (std::FILE *stream : {stream_, original_}) {
    if (stream != nullptr) {
      std::fclose(stream);
    }
  }
}

Output::Opened Output::open() {
  switch (way_) {
    case Way::new_file:
      temp_ = platform::TempFile::beside(name_, Replacing::new_file, status_);
      stream_ = temp_ != nullptr ? temp_->open_stream() : nullptr;
      break;
    case Way::direct:
      stream_ = platform::open_file(name_, "wb");
      break;
    case Way::replace:
      return open_for_replacing();
  }
  return stream_ != nullptr ? Opened::ok : Opened::cannot_create;
}

Output::Opened Output::open_for_replacing() {
  if (!platform::status_of(name_).unchanged_since(status_)) {
    return Opened::changed;
  }
  // Where the system would refuse this user to create the file (another
  // user's file in a shared sticky directory), it is not written either.
  if (platform::creation_refused(name_)) {
    return Opened::cannot_create;
  }
  // Another name of the file would keep the old text if a new file took
  // this one.
  if (status_.links == 1) {
    temp_ = platform::TempFile::beside(name_, Replacing::existing_file, status_);
  }
  if (temp_ != nullptr) {
    stream_ = temp_->open_stream();
    return stream_ != nullptr ? Opened::ok : Opened::cannot_create;
  }
  if (!open_original()) {
    return Opened::cannot_create;
  }
  spooling_ = true;
  stream_ = platform::open_spool();
  return stream_ != nullptr ? Opened::ok : Opened::cannot_spool;
}

bool Output::still_named() const {
  return platform::status_of(name_).same_file(status_);
}

bool Output::open_original() {
  original_ = platform::open_file(name_, "r+b");
  if (original_ != nullptr && !platform::status_of(original_).same_file(status_)) {
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
  std::fclose(std::exchange(stream_, nullptr));
}

Output::Finished Output::finish() {
  switch (way_) {
    case Way::direct:
      break;
    case Way::new_file:
      // A directory moved meanwhile would get the file under another name.
      if (!temp_->directory_in_place()) {
        discard_stream();
        return Finished::write_failed;
      }
      return close_checked(stream_) && take_name(Replacing::new_file) == platform::Taken::yes
                 ? Finished::done
                 : Finished::write_failed;
    case Way::replace:
      return spooling_ ? rewrite_in_place(stream_) : replace_by_temp();
  }
  return close_checked(stream_) ? Finished::done : Finished::write_failed;
}

Output::Finished Output::replace_by_temp() {
  if (!temp_->directory_in_place()) {
    discard_stream();
    return Finished::write_failed;
  }
  const bool metadata_taken = temp_->take_metadata();
  if (!temp_->flush() || !close_checked(stream_)) {
    return Finished::write_failed;
  }
  const platform::FileStatus target = temp_->target_status();
  if (!target.unchanged_since(status_)) {
    return Finished::changed;
  }
  // A file that has gained a name meanwhile, whose metadata this user cannot
  // give to another file, or that another program holds open, can still be
  // rewritten in place.  A file whose owner changed its metadata after the
  // temporary file took it is not replaced: that would undo the change.
  if (target.links == 1 && metadata_taken) {
    if (!temp_->metadata_unchanged()) {
      return Finished::changed;
    }
    switch (take_name(Replacing::existing_file)) {
      case platform::Taken::yes:
        return Finished::done;
      case platform::Taken::not_flushed:
        return Finished::write_failed;
      case platform::Taken::no:
        break;
    }
    // A replacement that lost the original has kept the new text.
    if (temp_->kept_name() != nullptr) {
      return Finished::write_failed;
    }
  }
  if (!open_original()) {
    return Finished::write_failed;
  }
  return rewrite_in_place(temp_->contents());
}

platform::Taken Output::take_name(Replacing what) {
  // Once the name is taken, the text is in place: an interruption can no
  // longer undo it.
  platform::hold_interrupts();
  const platform::Taken taken = temp_->take_name(what);
  if (taken != platform::Taken::no) {
    platform::hold_interrupts_to_the_end();
  } else {
    platform::release_interrupts();
  }
  return taken;
}

Output::Finished Output::rewrite_in_place(std::FILE *text) {
  if (!platform::status_of(original_).unchanged_since(status_) || !still_named()) {
    return Finished::changed;
  }
  platform::hold_interrupts();
  const Finished finished = copy_over_original(text);
  if (finished == Finished::done) {
    platform::hold_interrupts_to_the_end();
  } else {
    platform::release_interrupts();
  }
  return finished;
}

namespace {

// What the in-place copy's own writes have made of the file: its size as
// they leave it and its modification time as last seen after them.
// Another program that writes or cuts the file meanwhile shows as a
// difference (a write of the same size within the same tick of the file
// system's clock does not).
class OwnWrites {
 public:
  explicit OwnWrites(std::FILE *file)
      : file_(file), seen_(platform::status_of(file)), size_(seen_.size) {}

  // After room for size bytes was reserved, which changes the time, and on
  // Windows grows the file to that size.
  void reserved(std::uint64_t size) {
    seen_ = platform::status_of(file_);
    if (seen_.size == std::max(size_, static_cast<std::int64_t>(size))) {
      size_ = seen_.size;
    }
  }
  void wrote_to(std::uint64_t end) {
    size_ = std::max(size_, static_cast<std::int64_t>(end));
    seen_ = platform::status_of(file_);
  }
  bool undisturbed() const {
    const platform::FileStatus now = platform::status_of(file_);
    return now.same_file(seen_) && now.size == size_ && now.modified == seen_.modified;
  }

 private:
  std::FILE *file_;
  platform::FileStatus seen_;
  std::int64_t size_;
};

}  // namespace

Output::Finished Output::copy_over_original(std::FILE *text) {
  // Allocating and writing take set-id bits and capabilities away; a file
  // whose bits this user could not give back is not touched.
  const platform::Privileges privileges = platform::Privileges::of(original_);
  if (!privileges.restorable()) {
    return Finished::cannot_rewrite_in_place;
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
      return Finished::cannot_rewrite_in_place;
    case platform::Reserved::no_space:
    case platform::Reserved::failed:
      return Finished::write_failed;
  }
  own.reserved(written_);
  // Another writer stops the copy, and what it wrote is not cut away.
  const std::unique_ptr<char[]> block(new char[kChunk]);
  for (std::uint64_t offset = 0; offset < written_;) {
    const std::int64_t got = platform::read_at(text, block.get(), kChunk, offset);
    if (got <= 0 || !own.undisturbed() ||
        !platform::write_at(original_, block.get(), static_cast<std::size_t>(got), offset)) {
      return Finished::write_failed;
    }
    offset += static_cast<std::uint64_t>(got);
    own.wrote_to(offset);
  }
  return own.undisturbed() && platform::truncate(original_, written_) &&
                 privileges.restore(original_) && platform::flush(original_) &&
                 static_cast<std::uint64_t>(platform::status_of(original_).size) == written_
             ? Finished::done
             : Finished::write_failed;
}

void Output::abandon() {
  // The spool is on another disk than the output's.
  std::FILE *&written = spooling_ || stream_ == nullptr ? original_ : stream_;
  if (written != nullptr) {
    close_checked(written);
  }
}

}  // namespace nlflip
