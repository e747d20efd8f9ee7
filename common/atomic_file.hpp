// Writing a file whole: the content goes to a temporary name in the target's
// own directory, is flushed and synced to disk, and is then renamed over the
// target.  A failed or interrupted write therefore never leaves a truncated
// file and never destroys the previous one; the rename is atomic because both
// names are on the same file system.
#pragma once

#include "common/pybridge.hpp"

#include <nanobind/nanobind.h>

#include <string>

namespace cellpath::py {

namespace nb = nanobind;

// Call write(fh) with a binary file open on a temporary name beside `target`
// (a path), then put the file in place.  On any failure the temporary file is
// removed and the original error propagates.
template <class Write>
void write_atomically(nb::handle target_in, Write&& write) {
  nb::module_ os = nb::module_::import_("os");
  nb::object target = cellpath::py::as_path(target_in);
  // Process and thread in the name: two threads of one process may write
  // the same file at once (two handlers built on one cache).
  nb::object tmp = target.attr("parent").attr("__truediv__")(
      nb::str(".{}.{}.{}.tmp")
          .format(target.attr("name"), os.attr("getpid")(),
                  nb::module_::import_("threading").attr("get_ident")()));
  try {
    nb::object fh = cellpath::py::builtin("open")(tmp, "wb");
    try {
      write(nb::handle(fh));
      fh.attr("flush")();
      os.attr("fsync")(fh.attr("fileno")());
    } catch (...) {
      fh.attr("close")();
      throw;
    }
    fh.attr("close")();
    os.attr("replace")(tmp, target);
  } catch (...) {
    // Tidying up must not replace the error that got us here.
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    try {
      if (nb::cast<bool>(tmp.attr("exists")())) tmp.attr("unlink")();
    } catch (...) {
    }
    PyErr_Clear();
    PyErr_Restore(type, value, trace);
    throw;
  }
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
    nb::object target = npz_target(path);
    if (!nb::cast<bool>(nb::module_::import_("os").attr("path").attr("isfile")(target)))
      return false;
    nb::object archive = np.attr("load")(target, nb::arg("allow_pickle") = false);
    bool same = true;
    try {
      nb::list files(archive.attr("files"));
      same = nb::len(files) == nb::len(payload);
      for (auto [key, value] : payload) {
        if (!same) break;
        if (!nb::cast<bool>(files.attr("__contains__")(key))) {
          same = false;
          break;
        }
        nb::object stored = archive.attr("__getitem__")(key);
        nb::object given = np.attr("asarray")(value);
        same = stored.attr("dtype").equal(given.attr("dtype")) &&
               nb::cast<bool>(np.attr("array_equal")(stored, given));
      }
    } catch (...) {
      archive.attr("close")();
      throw;
    }
    archive.attr("close")();
    return same;
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;  // an interrupt goes on
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
