#include "Brimwell/model_file.hpp"

#include "common/whole_file.hpp"

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace brimwell {

namespace {

// What the file system refused; the write then leaves nothing behind.
struct Refused {};

// Chunks as they come, the header last over the file's first bytes.
class FileSink final : public gristane::ModelSink {
 public:
  explicit FileSink(int fd) : fd_(fd) {}
  void append(const unsigned char* data, std::size_t n) override {
    while (n > 0) {
      const ssize_t wrote = ::write(fd_, data, n);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) throw Refused{};
      data += wrote;
      n -= static_cast<std::size_t>(wrote);
    }
  }
  void put_header(const unsigned char* header) override {
    std::size_t done = 0;
    while (done < gristane::kModelHeaderBytes) {
      const ssize_t wrote = ::pwrite(fd_, header + done, gristane::kModelHeaderBytes - done,
                                     static_cast<off_t>(done));
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) throw Refused{};
      done += static_cast<std::size_t>(wrote);
    }
  }

 private:
  int fd_;
};

}  // namespace

std::optional<gristane::ModelKey> file_key(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  gristane::KeyHasher h;
  h.update(bytes.data(), bytes.size());
  return h.key();
}

bool write_model_file(const std::filesystem::path& target,
                      const std::function<void(gristane::ModelSink&)>& store) {
  namespace wf = cellpath::whole_file;
  // The thread as Python names it (threading.get_ident), as every writer
  // names its temporaries.
  const auto thread = static_cast<unsigned long long>(pthread_self());
  const std::filesystem::path tmp = wf::temporary_beside(target, ::getpid(), thread);
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  try {
    FileSink sink(fd);
    store(sink);
    if (wf::sync_descriptor(fd) != 0) throw Refused{};
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0 || wf::put_in_place(tmp, target) != 0) throw Refused{};
    return true;
  } catch (...) {
    if (fd >= 0) ::close(fd);
    wf::discard(tmp);
    try {
      throw;
    } catch (const Refused&) {
      return false;
    }
  }
}

}  // namespace brimwell
