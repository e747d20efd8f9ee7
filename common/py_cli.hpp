// The argparse parser of a command described by a cli::Parser (common/command_line.hpp).
#pragma once

#include "common/command_line.hpp"
#include "common/pybridge.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <string>
#include <vector>

namespace cellpath::py {

namespace nb = nanobind;

// A command's arguments: `argv` as given, else the process's own (sys.argv
// without the program name).
inline nb::list command_args(nb::handle argv) {
  if (!argv.is_none()) return nb::list(argv);
  nb::list all(nb::module_::import_("sys").attr("argv")), args;
  for (std::size_t i = 1; i < nb::len(all); ++i) args.append(all[i]);
  return args;
}

// The parser of module `m`'s command (--cache-dir defaults to m.CACHE_DIR as
// it stands now).
inline nb::object make_parser(const cli::Parser& command, nb::handle m) {
  nb::module_ argparse = nb::module_::import_("argparse");
  nb::dict kw;
  if (command.prog) kw["prog"] = command.prog;
  if (!command.allow_abbrev) kw["allow_abbrev"] = false;
  if (command.description) kw["description"] = command.description;
  if (command.raw_description) kw["formatter_class"] = argparse.attr("RawDescriptionHelpFormatter");
  nb::object parser = argparse.attr("ArgumentParser")(**kw);
  nb::object builtins = nb::module_::import_("builtins");
  nb::object Path = nb::module_::import_("pathlib").attr("Path");
  for (const cli::Argument& a : command.arguments) {
    if (a.cache_dir && !a.cache_dir_help) {
      add_cache_dir_option(parser, m);
      continue;
    }
    nb::dict kw;
    if (a.cache_dir) {
      nb::object dir = m.attr("CACHE_DIR");
      kw["type"] = Path;
      kw["default"] = dir;
      kw["help"] = std::string(a.cache_dir_help) + " (default: " + cellpath::py::str_of(dir) + ").";
    }
    if (a.nargs) kw["nargs"] = a.nargs;
    if (a.const_value) kw["const"] = a.const_value;
    if (a.action) kw["action"] = a.action;
    if (a.metavar) kw["metavar"] = a.metavar;
    if (a.type == cli::Type::path) kw["type"] = Path;
    if (const char* name = cli::builtin_type(a.type)) kw["type"] = builtins.attr(name);
    if (a.default_value == cli::Default::none) kw["default"] = nb::none();
    if (a.default_value == cli::Default::empty_list) kw["default"] = nb::list();
    if (a.default_value == cli::Default::text) kw["default"] = a.default_text;
    if (!a.choices.empty()) {
      nb::list choices;
      for (const char* c : a.choices) choices.append(c);
      kw["choices"] = nb::tuple(choices);
    }
    if (a.help) kw["help"] = a.help;
    parser.attr("add_argument")(a.flag, **kw);
  }
  return parser;
}

// argparse's answer `ns` to `command`, read once into C++ values: a flag as
// its truth, a path as pathlib reads it, a text as it is, a list of texts.
inline cli::Values read_values(nb::handle ns, const cli::Parser& command) {
  cli::Values v;
  for (const cli::Argument& a : command.arguments) {
    if (a.flag[0] != '-' || a.type == cli::Type::integer) continue;
    const std::string dest = cli::dest_of(a);
    const std::string action = a.action ? a.action : "";
    const nb::object value = ns.attr(dest.c_str());
    if (action == "store_true")
      v.flags[dest] = truthy(value);
    else if (action == "append")
      v.lists[dest] = nb::cast<std::vector<std::string>>(value);
    else if (value.is_none())
      v.texts[dest] = std::nullopt;
    else if (a.cache_dir || a.type == cli::Type::path)
      v.texts[dest] = path_arg(value).native();
    else
      v.texts[dest] = nb::cast<std::string>(value);
  }
  return v;
}

// argparse's answer to `argv` (None: the process's own arguments) for module
// `m`'s command, read into C++ values.
inline cli::Values parse_command(const cli::Parser& command, nb::handle m, nb::handle argv) {
  return read_values(make_parser(command, m).attr("parse_args")(argv), command);
}

}  // namespace cellpath::py
