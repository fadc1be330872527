// Win32: replacing a file: the temporary file that becomes a new file or
// takes an existing file's place (its security, attributes and owner, and
// ReplaceFileW with every answer it may give).
#include <fcntl.h>
#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "platform.h"
#include "win32_internal.h"

namespace platform {

using namespace detail;

namespace {

// The attributes that the rewritten file takes over from the original.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Security for a file that this user alone may use and that inherits
// nothing from its directory; invalid where it cannot be had.
class OwnerOnly {
 public:
  OwnerOnly() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      return;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user_.resize(size);
    const bool known = size > 0 && GetTokenInformation(token, TokenUser, user_.data(), size, &size);
    CloseHandle(token);
    if (!known) {
      return;
    }
    const PSID sid = reinterpret_cast<TOKEN_USER *>(user_.data())->User.Sid;
    acl_.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
    auto *acl = reinterpret_cast<ACL *>(acl_.data());
    valid_ = InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION) &&
             AddAccessAllowedAce(acl, ACL_REVISION, FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE,
                                 sid) &&
             InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
             SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
             SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
  }

  SECURITY_ATTRIBUTES *get() { return valid_ ? &attributes_ : nullptr; }

 private:
  std::string user_;  // a TOKEN_USER
  std::string acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
  bool valid_ = false;
};

HANDLE duplicate(HANDLE file) {
  HANDLE copy = INVALID_HANDLE_VALUE;
  return DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)
             ? copy
             : INVALID_HANDLE_VALUE;
}

// A name that cannot be created (wildcards, a missing directory) is found
// before anything is written; the probe goes when its handle closes.
bool can_be_created(const char *path) {
  const HANDLE probe = CreateFileW(native(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_FILE_EXISTS;
  }
  CloseHandle(probe);
  return true;
}

// Whether no other program holds the file without letting it be deleted,
// which a replacement needs.  Wine's replacement leaves a scratch file
// behind when it finds out itself.
bool may_be_deleted(const wchar_t *name) {
  const HANDLE file = CreateFileW(name, DELETE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  CloseHandle(file);
  return true;
}

// Gives the file open as to the owner of the file named from, which the
// replacement does not bring; false where this user may not.
bool take_owner(const std::wstring &from, HANDLE to) {
  PSID wanted = nullptr;
  PSID present = nullptr;
  PSECURITY_DESCRIPTOR from_security = nullptr;
  PSECURITY_DESCRIPTOR to_security = nullptr;
  bool taken =
      GetNamedSecurityInfoW(from.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &wanted,
                            nullptr, nullptr, nullptr, &from_security) == ERROR_SUCCESS &&
      GetSecurityInfo(to, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &present, nullptr, nullptr,
                      nullptr, &to_security) == ERROR_SUCCESS;
  if (taken && !EqualSid(wanted, present)) {
    taken = SetSecurityInfo(to, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, wanted, nullptr,
                            nullptr, nullptr) == ERROR_SUCCESS;
  }
  LocalFree(from_security);
  LocalFree(to_security);
  return taken;
}

// When the metadata of the named file last changed: its change time, which
// a change of its attributes, its security or its bytes moves on.  False
// where it cannot be read.
bool change_time_of(const std::wstring &name, LONGLONG &time) {
  const HANDLE file = open_for_identity(name);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  FILE_BASIC_INFO info{};
  const bool known = GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof info) != 0;
  CloseHandle(file);
  time = info.ChangeTime.QuadPart;
  return known;
}

}  // namespace

struct TempFile::State {
  Replacing what = Replacing::new_file;  // what it is to become
  std::wstring directory;                // ends in a separator
  FileStatus directory_status;
  std::wstring name;    // of the temporary file, in full
  std::wstring target;  // the name to take, in full
  FileStatus original;  // the file to replace
  FileStatus own;       // the temporary file
  HANDLE file = INVALID_HANDLE_VALUE;
  std::FILE *contents = nullptr;
  // The original's change time when its metadata was taken.
  LONGLONG metadata_time = 0;
  bool metadata_known = false;
  bool named = false;
  bool keep = false;  // it holds the only copy of the text

  // Replaces the original, once every handle is closed; ReplaceFileW keeps
  // the original's access control list, streams, creation time and short
  // name.  Its failures leave the files as its documentation says:
  //  - ERROR_UNABLE_TO_MOVE_REPLACEMENT: with no backup name, as here, the
  //    original is gone and the new file still has its own name: it takes
  //    the free name, without replacing a file that has come meanwhile;
  //  - ERROR_UNABLE_TO_MOVE_REPLACEMENT_2: the original lives on under
  //    another name, the backup name where one is given; with none given,
  //    that name cannot be told, so it cannot be put back;
  //  - any other failure: both files keep their names.
  // take_name then tells by identity what the name holds.
  bool replace() const {
    const wchar_t *from = name.c_str();
    const wchar_t *to = target.c_str();
    const DWORD attributes = GetFileAttributesW(to);
    // A read-only file is not replaced behind its back.
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) != 0 ||
        !may_be_deleted(to)) {
      return false;
    }
    return ReplaceFileW(to, from, nullptr, 0, nullptr, nullptr) != 0 ||
           (GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT && MoveFileExW(from, to, 0) != 0);
  }

  // The file cannot be renamed while this process holds it.
  void close_all() {
    if (contents != nullptr) {
      std::fclose(std::exchange(contents, nullptr));
    }
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(std::exchange(file, INVALID_HANDLE_VALUE));
    }
  }

  ~State() {
    // Deleted through its handle where it is still open, wherever its
    // directory has been moved.
    FILE_DISPOSITION_INFO deletion{TRUE};
    const bool deleted =
        named || keep ||
        (file != INVALID_HANDLE_VALUE &&
         SetFileInformationByHandle(file, FileDispositionInfo, &deletion, sizeof deletion));
    close_all();
    if (!deleted && !name.empty()) {
      DeleteFileW(name.c_str());
    }
  }
};

TempFile::TempFile(std::unique_ptr<State> state) : state_(std::move(state)) {}

TempFile::~TempFile() {
  const wchar_t *mine = state_->name.c_str();
  file_to_remove.compare_exchange_strong(mine, nullptr);
}

std::unique_ptr<TempFile> TempFile::beside(const char *path, Replacing what,
                                           const FileStatus &existing) {
  if (!can_be_created(path)) {
    return nullptr;
  }
  const FullName target = full_name(final_name(path));
  if (target.path.empty() ||
      (what == Replacing::existing_file && !status_of_name(target.path).same_file(existing))) {
    return nullptr;
  }
  auto state = std::make_unique<State>();
  state->what = what;
  state->target = target.path;
  state->original = existing;
  state->directory = target.path.substr(0, target.file_part);
  state->directory_status = status_of_name(state->directory);
  // A file that replaces another inherits nothing from the directory, which
  // may give more access than the original; the replacement brings the
  // original's own.
  OwnerOnly owner_only;
  SECURITY_ATTRIBUTES *security = nullptr;
  if (what == Replacing::existing_file && (security = owner_only.get()) == nullptr) {
    return nullptr;
  }
  state->file = create_unique(state->directory,
                              GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_OWNER,
                              FILE_ATTRIBUTE_NORMAL, state->name, security);
  if (state->file == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  state->own = status_from(state->file);
  file_to_remove.store(state->name.c_str());
  return std::unique_ptr<TempFile>(new TempFile(std::move(state)));
}

// A file without a name cannot be made on Windows.
std::unique_ptr<TempFile> TempFile::unnamed_beside(const char * /*path*/,
                                                   const FileStatus & /*existing*/) {
  return nullptr;
}

std::FILE *TempFile::open_stream() const {
  return stream_on(duplicate(state_->file), "wb", _O_WRONLY);
}

std::FILE *TempFile::contents() {
  State &state = *state_;
  if (state.contents == nullptr) {
    state.contents = stream_on(state.file != INVALID_HANDLE_VALUE
                                   ? duplicate(state.file)
                                   : CreateFileW(state.name.c_str(), GENERIC_READ, kShareAll,
                                                 nullptr, OPEN_EXISTING, 0, nullptr),
                               "rb", _O_RDONLY);
  }
  return state.contents;
}

bool TempFile::directory_in_place() const {
  return status_of_name(state_->directory).same_file(state_->directory_status);
}

FileStatus TempFile::target_status() const {
  return status_of_name(state_->target);
}

bool TempFile::take_metadata() {
  State &state = *state_;
  // Read first, so that a change made while the metadata is taken shows too.
  state.metadata_known = change_time_of(state.target, state.metadata_time);
  const DWORD attributes = GetFileAttributesW(state.target.c_str());
  if (!state.metadata_known || attributes == INVALID_FILE_ATTRIBUTES) {
    return false;
  }
  const DWORD kept = attributes & kKeptAttributes;
  return take_owner(state.target, state.file) &&
         SetFileAttributesW(state.name.c_str(), kept == 0 ? FILE_ATTRIBUTE_NORMAL : kept) != 0;
}

bool TempFile::metadata_unchanged() const {
  LONGLONG now = 0;
  return state_->metadata_known && change_time_of(state_->target, now) &&
         now == state_->metadata_time;
}

bool TempFile::flush() {
  return FlushFileBuffers(state_->file) != 0;
}

Taken TempFile::take_name() {
  State &state = *state_;
  state.close_all();
  const wchar_t *from = state.name.c_str();
  const wchar_t *to = state.target.c_str();
  if (state.what == Replacing::new_file) {
    // Without the replacing flag a file that appeared meanwhile stays.
    state.named = MoveFileExW(from, to, 0) != 0;
  } else {
    state.named = state.replace();
    if (!state.named) {
      // The new text goes only where the name still denotes the original,
      // however the replacement failed; where it denotes another file or
      // none, the temporary file holds the only copy of the text and stays.
      const FileStatus now = status_of_name(state.target);
      state.named = now.same_file(state.own);
      state.keep = !state.named && !now.same_file(state.original);
    }
  }
  if (state.named || state.keep) {
    const wchar_t *mine = from;
    file_to_remove.compare_exchange_strong(mine, nullptr);
  }
  if (state.keep) {
    kept_ = true;
    // The code page's default character stands in for what it cannot hold.
    narrow(short_form(state.name).c_str(), kept_name_);
  }
  // The replacement reaches the disk with the file system's own journal:
  // there is no directory to flush.
  return state.named ? Taken::yes : Taken::no;
}

}  // namespace platform
