#include "Brimwell/stored_models.hpp"

#include "common/atomic_file.hpp"

#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

namespace brimwell_py {

namespace {

// A hash of the module's own file: models built by another build of the
// module (whose construction may differ in any detail) are not taken.  Read
// once per process; none when the module has no file to read.
std::optional<gristane::ModelKey> module_build() {
  static std::mutex mutex;
  static bool known = false;
  static std::optional<gristane::ModelKey> build;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (known) return build;
  }
  // Read without the lock held (the read runs Python); two threads that get
  // here at once compute the same value.
  std::optional<gristane::ModelKey> found;
  try {
    nb::object file = nb::getattr(self_module(), "__file__", nb::none());
    if (!file.is_none()) {
      nb::object fh = cellpath::py::builtin("open")(file, "rb");
      nb::object data;
      try {
        data = fh.attr("read")();
      } catch (...) {
        fh.attr("close")();
        throw;
      }
      fh.attr("close")();
      gristane::KeyHasher h;
      h.update(PyBytes_AsString(data.ptr()), static_cast<std::size_t>(PyBytes_Size(data.ptr())));
      found = h.key();
    }
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
  std::lock_guard<std::mutex> lock(mutex);
  known = true;
  build = found;
  return build;
}

}  // namespace

gristane::KeyHasher arm_key(const PlanningContext& c, gristane::ModelKind kind) {
  gristane::KeyHasher h;
  h.value(static_cast<std::uint32_t>(kind));
  const std::optional<gristane::ModelKey> build = module_build();
  if (build) {
    h.value(build->a);
    h.value(build->b);
  }
  h.value(static_cast<std::uint64_t>(c.n));
  for (nb::handle arr : {c.slist, c.home_transforms, c.limits}) {
    Array<double> a = cellpath::py::as_f64(arr);
    h.values(a.data, a.size);
  }
  return h;
}

namespace {

// The file system's own spelling of a path (os.fsencode: undecodable names
// survive), as the loaders open it.
std::filesystem::path native_path(nb::handle path) {
#ifdef _WIN32
  nb::object text = nb::module_::import_("os").attr("fspath")(path);
  Py_ssize_t n = 0;
  wchar_t* w = PyUnicode_AsWideCharString(text.ptr(), &n);
  if (!w) throw nb::python_error();
  std::filesystem::path out(std::wstring(w, static_cast<std::size_t>(n)));
  PyMem_Free(w);
  return out;
#else
  nb::object raw = nb::module_::import_("os").attr("fsencode")(path);
  return std::filesystem::path(
      std::string(PyBytes_AsString(raw.ptr()), static_cast<std::size_t>(PyBytes_Size(raw.ptr()))));
#endif
}

// A binary file open for writing, as a model's sink: chunks are written as
// they come, the header is written last over the file's first bytes.
class FileSink : public gristane::ModelSink {
 public:
  explicit FileSink(nb::handle fh) : fh_(fh) {}
  void append(const unsigned char* data, std::size_t n) override { write(data, n); }
  void put_header(const unsigned char* header) override {
    fh_.attr("seek")(0);
    write(header, gristane::kModelHeaderBytes);
  }

 private:
  void write(const unsigned char* data, std::size_t n) {
    // A raw write may take less than it was given.
    while (n > 0) {
      nb::object view =
          nb::steal(PyMemoryView_FromMemory(const_cast<char*>(reinterpret_cast<const char*>(data)),
                                            static_cast<Py_ssize_t>(n), PyBUF_READ));
      if (!view.is_valid()) throw nb::python_error();
      const auto wrote = nb::cast<std::size_t>(fh_.attr("write")(view));
      if (wrote == 0 || wrote > n) throw std::runtime_error("stored model: a write took nothing");
      data += wrote;
      n -= wrote;
    }
  }
  nb::handle fh_;
};

}  // namespace

StoredModel::StoredModel(const PlanningContext& c, const char* name)
    : dir_(nb::none()), path_(nb::none()) {
  // Without knowing which build wrote a file, none is taken, and none written.
  if (!module_build()) return;
  nb::object cache = nb::getattr(c.handler, "cache", nb::none());
  if (cache.is_none()) return;
  try {
    nb::object dir = cellpath::py::join_path(cache, ".models");
    nb::object path = cellpath::py::join_path(dir, std::string(name) + ".bin");
    native_ = native_path(path);
    dir_ = dir;
    path_ = path;
  } catch (nb::python_error& e) {
    // A cache the handler took that is no path: nothing stored.  An
    // interrupt goes on.
    if (!e.matches(PyExc_Exception)) throw;
  }
}

brimwell::ModelStore StoredModel::place() const {
  brimwell::ModelStore place;
  if (on()) place.path = native_;
  place.write = [this](const std::function<void(gristane::ModelSink&)>& store) {
    write_with(store);
  };
  place.released = [](const std::function<void()>& work) {
    nb::gil_scoped_release release;
    work();
  };
  return place;
}

void StoredModel::write_with(const std::function<void(gristane::ModelSink&)>& store) const {
  try {
    dir_.attr("mkdir")("exist_ok"_a = true);
    // A write killed half-way leaves its temporary file (as large as the
    // model); the commands' own tidying (cellpath_cli.runs) removes those of
    // writers that are gone.
    try {
      nb::module_::import_("cellpath_cli.runs").attr("remove_litter")(dir_);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_Exception)) throw;
    }
    cellpath::py::write_atomically(path_, [&](nb::handle fh) {
      FileSink sink(fh);
      store(sink);
    });
  } catch (nb::python_error& e) {
    // A read-only or full disk, a file where the folder would be: the model
    // stays in memory only.
    if (!e.matches(PyExc_OSError)) throw;
  }
}

}  // namespace brimwell_py
