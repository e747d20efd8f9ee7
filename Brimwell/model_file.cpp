#include "Brimwell/model_file.hpp"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

namespace brimwell {

namespace {

// The temporary's name beside `target`: process and thread in it, since two
// threads of one process may write the same model at once.
std::filesystem::path temporary_for(const std::filesystem::path& target) {
#ifdef _WIN32
  const unsigned long pid = GetCurrentProcessId(), thread = GetCurrentThreadId();
#else
  const unsigned long pid = static_cast<unsigned long>(getpid());
  const unsigned long thread = static_cast<unsigned long>(pthread_self());
#endif
  std::filesystem::path name = "." + target.filename().string() + "." + std::to_string(pid) + "." +
                               std::to_string(thread) + ".tmp";
  return target.parent_path() / name;
}

struct Closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, Closer>;

// What the file system refused; the write then leaves nothing behind.
struct Refused {};

// Chunks as they come, the header last over the file's first bytes.
class FileSink final : public gristane::ModelSink {
 public:
  explicit FileSink(std::FILE* f) : f_(f) {}
  void append(const unsigned char* data, std::size_t n) override { write(data, n); }
  void put_header(const unsigned char* header) override {
    if (std::fseek(f_, 0, SEEK_SET) != 0) throw Refused{};
    write(header, gristane::kModelHeaderBytes);
  }

 private:
  void write(const unsigned char* data, std::size_t n) {
    if (n > 0 && std::fwrite(data, 1, n, f_) != n) throw Refused{};
  }
  std::FILE* f_;
};

// Flushed to the disk before the rename, so a crash after it finds the bytes.
void flush_to_disk(std::FILE* f) {
  if (std::fflush(f) != 0) throw Refused{};
#ifdef _WIN32
  if (_commit(_fileno(f)) != 0) throw Refused{};
#else
  if (fsync(fileno(f)) != 0) throw Refused{};
#endif
}

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
  const std::filesystem::path tmp = temporary_for(target);
  try {
    {
      File f(std::fopen(tmp.string().c_str(), "wb"));
      if (!f) return false;
      FileSink sink(f.get());
      store(sink);
      flush_to_disk(f.get());
      if (std::fclose(f.release()) != 0) throw Refused{};
    }
    std::error_code ec;
    std::filesystem::rename(tmp, target, ec);
    if (ec) throw Refused{};
    return true;
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(tmp, ignored);
    try {
      throw;
    } catch (const Refused&) {
      return false;
    }
  }
}

}  // namespace brimwell
