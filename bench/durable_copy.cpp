// The floor of the benchmark's same-file rewrite: what replacing a file
// durably costs at least.  durable_copy IN OUT copies IN into a new
// temporary file beside OUT through 1 MiB reads and writes, writes it through
// to the disk, renames it over OUT and writes the directory through.  Owner,
// permissions and attributes are not carried over: the floor leaves out all
// but the copy and the two flushes.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Whole pages, so that the kernel copies to and from the buffer at full speed.
alignas(4096) char buffer[1 << 20];

// The folder of a path, "." for a bare name.
std::string folder_of(const std::string &path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool write_all(int out, const char *data, std::size_t size) {
  while (size > 0) {
    const ssize_t put = write(out, data, size);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return false;
    }
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

bool copy(int in, int out) {
  for (;;) {
    const ssize_t got = read(in, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return got == 0;
    }
    if (!write_all(out, buffer, static_cast<std::size_t>(got))) {
      return false;
    }
  }
}

bool sync_folder(const std::string &folder) {
  const int handle = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (handle < 0) {
    return false;
  }
  const bool synced = fsync(handle) == 0;
  return close(handle) == 0 && synced;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fputs("usage: durable_copy IN OUT\n", stderr);
    return 2;
  }
  const std::string target = argv[2];
  const std::string folder = folder_of(target);
  std::string temporary = folder + "/.durable-XXXXXX";
  const int in = open(argv[1], O_RDONLY);
  if (in < 0) {
    std::perror(argv[1]);
    return 1;
  }
  const int out = mkstemp(temporary.data());
  if (out < 0) {
    std::perror(temporary.c_str());
    close(in);
    return 1;
  }
  const bool copied = copy(in, out);
  close(in);
  if (!copied || fsync(out) != 0 || close(out) != 0) {
    std::perror(temporary.c_str());
    unlink(temporary.c_str());
    return 1;
  }
  if (std::rename(temporary.c_str(), target.c_str()) != 0) {
    std::perror(target.c_str());
    unlink(temporary.c_str());
    return 1;
  }
  if (!sync_folder(folder)) {
    std::perror(folder.c_str());
    return 1;
  }
  return 0;
}
