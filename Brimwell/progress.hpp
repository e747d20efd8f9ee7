// Progress of a slow step, for a user at a terminal: a tqdm bar drawn by
// cellpath_cli.progress (its StepBar; shown only when standard output and standard error
// are terminals, erased when the step ends).  The bar is the command layer's
// own (Python, shared with cellpath-render's frames), so this is one of the
// planner's few crossings into that layer.  Where cellpath_cli cannot be
// imported (a bare build tree), or drawing fails, the step runs without one;
// an interrupt (Ctrl-C, SIGTERM) that arrives while the bar is drawn is never
// taken for a drawing failure: it goes on to stop the step.
#pragma once

#include "Brimwell/context_models.hpp"
#include "Brimwell/planner_run.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace brimwell_py {

namespace nb = nanobind;

// obj.method(args...) when an error may be pending (from a destructor while
// one unwinds): the pending error is kept, whatever the call does.
template <class... Args>
void call_keeping_error(nb::handle obj, const char* method, Args&&... args) noexcept {
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  try {
    obj.attr(method)(std::forward<Args>(args)...);
  } catch (...) {
  }
  PyErr_Clear();
  PyErr_Restore(type, value, trace);
}

// The one terminal bar of the planner: a planner loop's (shown once the loop
// has run a while, `stage` out of `total` iterations) and a slow build's
// (shown from its start, part by part).
class TerminalBar final : public brimwell::ProgressDisplay, public brimwell::BuildWatch {
 public:
  explicit TerminalBar(std::string stage = {}, std::int64_t total = 0)
      : stage_(std::move(stage)), total_(total) {}
  ~TerminalBar() override { close(); }
  TerminalBar(const TerminalBar&) = delete;
  TerminalBar& operator=(const TerminalBar&) = delete;

  // A planner loop's `done` iterations, with a note after the bar.
  void show(std::int64_t done, const std::string& note) override {
    if (!opened_) open(stage_.c_str(), static_cast<long>(total_), "it");
    draw([&] { bar_.attr("show")(static_cast<long>(done), note); });
  }
  void clear() noexcept override { close(); }
  void check_interrupts() override {
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
  }
  void holding_interpreter(const std::function<void()>& f) override {
    nb::gil_scoped_acquire acquire;
    f();
  }
  void released(const std::function<void()>& work) override {
    nb::gil_scoped_release release;
    work();
  }

  // A build of `parts` parts.
  void start(const char* what, long parts) override {
    close();
    open(what, parts, "step");
  }
  // One more part done; `next` names the part that starts now.  The parts run
  // without the interpreter, so an interrupt that came in meanwhile stops the
  // build here, bar or no bar.
  void advance(const std::string& next) override {
    check_interrupts();
    draw([&] { bar_.attr("step")(next); });
  }
  void finish() override { close(); }

 private:
  // True for errors a bar may drop: Exception's kind, not KeyboardInterrupt or
  // SystemExit.
  static bool droppable(const nb::python_error& e) { return e.matches(PyExc_Exception); }

  void open(const char* desc, long total, const char* unit) {
    opened_ = true;
    try {
      bar_ = nb::module_::import_("cellpath_cli.progress").attr("StepBar")(total, desc, unit);
    } catch (nb::python_error& e) {
      if (!droppable(e)) throw;
      bar_ = nb::object();
    }
  }
  void close() noexcept {
    opened_ = false;
    if (bar_.is_valid()) call_keeping_error(bar_, "close");
    bar_ = nb::object();
  }
  template <class Draw>
  void draw(Draw&& f) {
    if (!bar_.is_valid()) return;
    try {
      f();
    } catch (nb::python_error& e) {
      if (!droppable(e)) throw;
      bar_ = nb::object();
    }
  }

  std::string stage_;
  std::int64_t total_;
  bool opened_ = false;
  nb::object bar_;
};

}  // namespace brimwell_py
