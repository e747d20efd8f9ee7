// The one host layer of the CAD side: the handles a CAD-side module keeps as
// module attributes (`app`, `ui`, and for the modules that drive the design
// themselves `adsk`), the log, the event pump, and the conversions of host
// answers into transforms.  Every handle is read from the module at each call,
// so replacing `app` on the module (as a test does) takes effect at once.
#pragma once

#include "common/pybridge.hpp"
#include "common/se3.hpp"

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>
#include <vector>

namespace cellpath::host {

namespace nb = nanobind;

// Which handles a module keeps: every CAD-side module keeps `app` and `ui`;
// the modules that call the host API's functions themselves also keep the
// `adsk` package (the kinematics toolbox alone reaches it by import).
enum class Handles { app_and_ui, with_adsk };

// Import the host API and keep its handles on module m, as
// `import adsk.core, adsk.fusion; app = adsk.core.Application.get(); ui = app.userInterface`.
// Raises ImportError when there is no host API to import.
inline void attach_host(nb::module_ m, Handles handles) {
  nb::module_ core = nb::module_::import_("adsk.core");
  nb::module_::import_("adsk.fusion");
  nb::object app = core.attr("Application").attr("get")();
  m.attr("app") = app;
  m.attr("ui") = app.attr("userInterface");
  if (handles == Handles::with_adsk) m.attr("adsk") = nb::module_::import_("adsk");
}

// Starts the host-log lines that report an inverse-kinematics answer (the
// joint angles a solve settled on, in degrees), so that a user can pick the
// answers out of the host's text log among the progress lines.
inline constexpr const char* kIkAnswerLogPrefix = "[TALV] ";

inline nb::object app(nb::handle m) { return m.attr("app"); }
inline nb::object ui(nb::handle m) { return m.attr("ui"); }
inline nb::object adsk(nb::handle m) { return m.attr("adsk"); }

inline void log(nb::handle m, nb::handle text) { app(m).attr("log")(text); }
inline void log(nb::handle m, const std::string& text) {
  log(m, nb::str(text.data(), text.size()));
}

// Let the host apply pending joint changes.
inline void do_events(nb::handle m) { adsk(m).attr("doEvents")(); }

inline nb::object root_component(nb::handle m) {
  return app(m).attr("activeProduct").attr("rootComponent");
}

// m.def(name, f, extra...) for a function whose first parameter is the module
// it is offered from: a host-facing function reads that module's `app`, `ui`
// and tuning constants, so each module that offers it answers to its own.
template <class R, class... A, class... Extra>
void def_on(nb::module_& m, const char* name, R (*f)(nb::handle, A...), const Extra&... extra) {
  nb::handle mod = m;
  m.def(name, [mod, f](A... a) -> R { return f(mod, a...); }, extra...);
}

// Raise a Python exception of `type` whose message is a Python string (so that
// names and numpy text reach the message unchanged, whatever their characters).
[[noreturn]] inline void raise(PyObject* type, nb::handle message) {
  PyErr_SetObject(type, message.ptr());
  throw nb::python_error();
}

// "pattern".format(args...) in Python.
template <class... Args>
inline nb::str format(const char* pattern, Args&&... args) {
  return nb::str(pattern).format(std::forward<Args>(args)...);
}

// A 4x4 transform from any array-like; anything else (for instance the None that a
// failed component lookup returns) raises ValueError naming `what`.
inline Mat4 transform_arg(nb::handle T, const char* what) {
  py::Array<double> a = py::as_f64(T);
  py::require_shape(a, {4, 4}, what);
  Mat4 out;
  for (int k = 0; k < 16; ++k) out[k] = a[k];
  return out;
}

inline nb::object mat_to_numpy(const double* src, std::size_t rows, std::size_t cols) {
  double* dst = nullptr;
  nb::object arr = py::new_f64({rows, cols}, &dst);
  for (std::size_t k = 0; k < rows * cols; ++k) dst[k] = src[k];
  return arr;
}

inline nb::object vec_to_numpy(const double* src, std::size_t n) {
  double* dst = nullptr;
  nb::object arr = py::new_f64({n}, &dst);
  for (std::size_t k = 0; k < n; ++k) dst[k] = src[k];
  return arr;
}

inline nb::object transform_to_numpy(const Mat4& T) { return mat_to_numpy(T.data(), 4, 4); }

// A joint vector from any numeric sequence: one-dimensional float64.
inline py::Array<double> joint_vector_arg(nb::handle x, const char* what) {
  py::Array<double> a = py::as_f64(x);
  if (a.ndim() != 1)
    throw nb::value_error((std::string(what) +
                           " must be a one-dimensional joint vector, got shape " +
                           py::shape_text(a.shape))
                              .c_str());
  return a;
}

}  // namespace cellpath::host
