#include "Brimwell/stored_models.hpp"

#include "Brimwell/model_file.hpp"

#include <dlfcn.h>

#include <string>
#include <system_error>
#include <utility>

namespace brimwell {

std::optional<gristane::ModelKey> module_build() {
  static const std::optional<gristane::ModelKey> build = []() -> std::optional<gristane::ModelKey> {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&module_build), &info) == 0 || info.dli_fname == nullptr)
      return std::nullopt;
    return file_key(info.dli_fname);
  }();
  return build;
}

StoredModel::StoredModel(const std::optional<std::filesystem::path>& dir, const char* name,
                         Released released, Tidy tidy)
    : on_(dir.has_value()), released_(std::move(released)), tidy_(std::move(tidy)) {
  if (on_) native_ = *dir / (std::string(name) + ".bin");
}

ModelStore StoredModel::place() const {
  ModelStore place;
  if (on()) place.path = native_;
  place.write = [this](const std::function<void(gristane::ModelSink&)>& store) {
    write_with(store);
  };
  place.released = released_;
  return place;
}

void StoredModel::write_with(const std::function<void(gristane::ModelSink&)>& store) const {
  // A read-only disk, a file where the folder would be: the model stays in
  // memory only.
  std::error_code refused;
  std::filesystem::create_directory(native_.parent_path(), refused);
  if (refused) return;
  tidy_(native_.parent_path());
  released_([&] { write_model_file(native_, store); });
}

}  // namespace brimwell
