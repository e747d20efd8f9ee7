#include "Brimwell/stored_models.hpp"

#include "Brimwell/model_file.hpp"
#include "Brimwell/py_bridge.hpp"

#include <nanobind/stl/filesystem.h>

#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

namespace brimwell_py {

std::optional<gristane::ModelKey> module_build() {
  static std::mutex mutex;
  static bool known = false;
  static std::optional<gristane::ModelKey> build;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (known) return build;
  }
  // Read without the lock held (finding the file runs Python); two threads
  // that get here at once compute the same value.
  std::optional<gristane::ModelKey> found;
  try {
    nb::object file = nb::getattr(self_module(), "__file__", nb::none());
    // The file system's own spelling (os.fsencode of os.fspath: undecodable
    // names survive), as the loaders open it.
    if (!file.is_none()) found = brimwell::file_key(nb::cast<std::filesystem::path>(file));
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
  std::lock_guard<std::mutex> lock(mutex);
  known = true;
  build = found;
  return build;
}

StoredModel::StoredModel(const std::optional<std::filesystem::path>& dir, const char* name)
    : on_(dir.has_value()) {
  if (on_) native_ = *dir / (std::string(name) + ".bin");
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
  // A read-only disk, a file where the folder would be: the model stays in
  // memory only.
  std::error_code refused;
  std::filesystem::create_directory(native_.parent_path(), refused);
  if (refused) return;
  // A write killed half-way leaves its temporary file (as large as the
  // model); the commands' own tidying (cellpath_cli.runs) removes those of
  // writers that are gone.
  try {
    nb::module_::import_("cellpath_cli.runs").attr("remove_litter")(native_.parent_path());
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
  nb::gil_scoped_release release;
  brimwell::write_model_file(native_, store);
}

}  // namespace brimwell_py
