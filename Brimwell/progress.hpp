// Progress of a slow step, for a user at a terminal: a tqdm bar drawn by
// cellpath_cli.progress (shown only when standard output and standard error
// are terminals, erased when the step ends).  The bar is the command layer's
// own (Python, shared with cellpath-render's frames), so this is one of the
// planner's few crossings into that layer.  Where cellpath_cli cannot be
// imported (a bare build tree), or drawing fails, the step runs without one;
// an interrupt (Ctrl-C, SIGTERM) that arrives while the bar is drawn is never
// taken for a drawing failure: it goes on to stop the step.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

namespace brimwell_py {

namespace nb = nanobind;

// True for errors a bar may drop: Exception's kind, not KeyboardInterrupt or
// SystemExit.
inline bool droppable(const nb::python_error& e) { return e.matches(PyExc_Exception); }

class StepProgress {
 public:
  StepProgress(const std::string& desc, long total, const char* unit = "step") {
    try {
      nb::object progress = nb::module_::import_("cellpath_cli.progress").attr("progress");
      bar_ = progress(nb::arg("total") = total, nb::arg("desc") = desc, nb::arg("unit") = unit);
    } catch (nb::python_error& e) {
      if (!droppable(e)) throw;
      bar_ = nb::object();
    }
  }
  ~StepProgress() {
    if (!bar_.is_valid()) return;
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    try {
      bar_.attr("close")();
    } catch (...) {
    }
    PyErr_Clear();
    PyErr_Restore(type, value, trace);
  }
  StepProgress(const StepProgress&) = delete;
  StepProgress& operator=(const StepProgress&) = delete;

  // `done` parts done so far, with a note after the bar.
  void set(long done, const std::string& note = {}) {
    if (!bar_.is_valid()) return;
    try {
      bar_.attr("n") = done;
      if (!note.empty()) bar_.attr("set_postfix_str")(note, nb::arg("refresh") = false);
      bar_.attr("refresh")();
    } catch (nb::python_error& e) {
      if (!droppable(e)) throw;
      bar_ = nb::object();
    }
  }

  // One more part done; `next` names the part that starts now.  The parts run
  // without the interpreter, so an interrupt that came in meanwhile stops the
  // step here, bar or no bar.
  void advance(const std::string& next = {}) {
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
    if (!bar_.is_valid()) return;
    try {
      if (!next.empty()) bar_.attr("set_postfix_str")(next, nb::arg("refresh") = false);
      bar_.attr("update")(1);
    } catch (nb::python_error& e) {
      if (!droppable(e)) throw;
      bar_ = nb::object();
    }
  }

 private:
  nb::object bar_;
};

}  // namespace brimwell_py
