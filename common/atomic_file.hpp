// Writing a file whole from Python's side: numpy writes the content into a
// file object open on the temporary name; naming, syncing, renaming and
// tidying up are common/whole_file.hpp's.
#pragma once

#include "common/mesh_archive.hpp"
#include "common/pybridge.hpp"
#include "common/whole_file.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/filesystem.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

namespace cellpath::py {

namespace nb = nanobind;

// The OSError a failed system call raises in Python, naming the files it
// names (none for fsync, both for a rename).
[[noreturn]] inline void raise_os_error(int error, const std::filesystem::path* file = nullptr,
                                        const std::filesystem::path* second = nullptr) {
  nb::object a = file ? nb::cast(*file) : nb::none(), b = second ? nb::cast(*second) : nb::none();
  errno = error;
  PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, file ? a.ptr() : nullptr,
                                        second ? b.ptr() : nullptr);
  throw nb::python_error();
}

// write(fh) with a binary file open on `path`, flushed, synced and closed
// (closed whatever happens); the sync's errno, 0 when it succeeded.
template <class Write>
int write_and_sync(const std::filesystem::path& path, Write& write) {
  nb::object fh = builtin("open")(nb::cast(path), "wb");
  nb::object close = fh.attr("close");
  int synced = 0;
  try {
    write(fh);
    fh.attr("flush")();
    const int fd = nb::cast<int>(fh.attr("fileno")());
    nb::gil_scoped_release nogil;
    synced = cellpath::whole_file::sync_descriptor(fd);
  } catch (...) {
    close();
    throw;
  }
  close();
  return synced;
}

// Call write(fh) with a binary file open on a temporary name beside `target`
// (a path), then put the file in place.  On any failure the temporary file is
// removed and the original error propagates.
template <class Write>
void write_atomically(const std::filesystem::path& target, Write&& write) {
  namespace wf = cellpath::whole_file;
  const auto tmp = wf::temporary_beside(target, ::getpid(), PyThread_get_thread_ident());
  try {
    if (const int synced = write_and_sync(tmp, write)) raise_os_error(synced);
    int renamed = 0;
    {
      nb::gil_scoped_release nogil;
      renamed = wf::put_in_place(tmp, target);
    }
    if (renamed != 0) raise_os_error(renamed, &tmp, &target);
  } catch (...) {
    // Tidying up must not replace the error that got us here.
    wf::discard(tmp);
    throw;
  }
}

// The same for a target Python names (a path or anything os.fspath takes).
template <class Write>
void write_atomically(nb::handle target, Write&& write) {
  write_atomically(nb::cast<std::filesystem::path>(target), std::forward<Write>(write));
}

// numpy's savez naming rule: a path without the ".npz" ending gets it appended.
// A file object is returned as it is.
inline nb::object npz_target(nb::handle path) {
  if (nb::hasattr(path, "write")) return nb::borrow(path);
  nb::object s = nb::module_::import_("os").attr("fspath")(path);
  if (nb::isinstance<nb::str>(s) && !nb::cast<bool>(s.attr("endswith")(".npz")))
    s = s + nb::str(".npz");
  return s;
}

// numpy.savez_compressed(path, **payload), written whole.  A file object the
// caller opened (or a bytes path) is handed to numpy as it is.
inline void savez_compressed_atomic(nb::handle path, nb::dict payload) {
  nb::module_ np = numpy();
  nb::object target = npz_target(path);
  if (!nb::isinstance<nb::str>(target)) {
    np.attr("savez_compressed")(target, **payload);
    return;
  }
  write_atomically(target, [&](nb::handle fh) { np.attr("savez_compressed")(fh, **payload); });
}

// True when the archive at `path` already holds exactly `payload` (the same
// names, dtypes, shapes and values); false when it is missing, unreadable or
// different.
inline bool archive_holds(nb::handle path, nb::dict payload) {
  nb::module_ np = numpy();
  try {
    const nb::object target = npz_target(path);
    std::error_code missing;
    if (!std::filesystem::is_regular_file(nb::cast<std::filesystem::path>(target), missing))
      return false;
    OpenArchive archive(target);
    const nb::list names = archive.names();
    bool same = nb::len(names) == nb::len(payload);
    for (auto [key, value] : payload) {
      if (!same) break;
      const int listed = PySequence_Contains(names.ptr(), key.ptr());
      if (listed < 0) throw nb::python_error();
      if (!listed) return false;
      nb::object stored = archive.member(key);
      nb::object given = np.attr("asarray")(value);
      same = stored.attr("dtype").equal(given.attr("dtype")) &&
             nb::cast<bool>(np.attr("array_equal")(stored, given));
    }
    archive.close();
    return same;
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;  // an interrupt goes on
    return false;
  } catch (nb::builtin_exception&) {  // not an archive
    return false;
  }
}

// savez_compressed_atomic, unless the archive already holds `payload`: a cache
// on a read-only or full disk is then loaded without writing anything.
inline void savez_compressed_if_changed(nb::handle path, nb::dict payload) {
  if (!nb::hasattr(path, "write") && archive_holds(path, payload)) return;
  savez_compressed_atomic(path, payload);
}

}  // namespace cellpath::py
