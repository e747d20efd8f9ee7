// A command line described as data: the parser's text and each argument's
// argparse settings.  common/py_cli.hpp builds the argparse parser from it, so
// the commands state what they take and one function knows how argparse is
// called.
#pragma once

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace cellpath::cli {

// What an argument converts its value with, and what it holds when absent.
enum class Type { none, str, integer, real, path };
enum class Default { unset, none, empty_list, text };

// The name of the builtin an argument's value is converted with (str, int,
// float), or null for none or a path.
inline const char* builtin_type(Type t) {
  switch (t) {
    case Type::str:
      return "str";
    case Type::integer:
      return "int";
    case Type::real:
      return "float";
    default:
      return nullptr;
  }
}

struct Argument {
  const char* flag;  // "--name", or the name of a positional argument
  const char* help = nullptr;
  const char* action = nullptr;  // "store_true", "append"
  const char* nargs = nullptr;   // "*", "?"
  const char* metavar = nullptr;
  const char* const_value = nullptr;  // with nargs "?": the value of a bare flag
  Type type = Type::none;
  Default default_value = Default::unset;
  const char* default_text = nullptr;     // with Default::text
  std::vector<const char*> choices = {};  // the values argparse accepts, when not empty
  // --cache-dir: a path defaulting to the module's CACHE_DIR, with the shared
  // help text (cache_dir_help null) or "<cache_dir_help> (default: DIR)."
  bool cache_dir = false;
  const char* cache_dir_help = nullptr;
};

struct Parser {
  const char* prog = nullptr;
  const char* description = nullptr;
  bool raw_description = false;  // RawDescriptionHelpFormatter
  bool allow_abbrev = true;
  std::vector<Argument> arguments;
};

// A command whose one option is --cache-dir (the shared help text).
inline Parser cache_dir_command(const char* prog, const char* description) {
  return {.prog = prog,
          .description = description,
          .arguments = {{.flag = "--cache-dir", .cache_dir = true}}};
}

// argparse's name for an argument's value: "--cache-dir" holds "cache_dir".
inline std::string dest_of(const Argument& a) {
  std::string dest = a.flag;
  dest.erase(0, dest.find_first_not_of('-'));
  std::replace(dest.begin(), dest.end(), '-', '_');
  return dest;
}

// What C++ reads of a parsed command line, by dest name, converted once:
// flags (store_true), texts (str options and paths, none when absent) and
// lists of texts (append).  Integers stay Python's, since a seed may exceed
// 64 bits, and positional arguments are the command's own to read.
struct Values {
  std::map<std::string, bool> flags;
  std::map<std::string, std::optional<std::string>> texts;
  std::map<std::string, std::vector<std::string>> lists;

  bool flag(const std::string& dest) const { return flags.at(dest); }
  const std::optional<std::string>& text(const std::string& dest) const { return texts.at(dest); }
  const std::vector<std::string>& list(const std::string& dest) const { return lists.at(dest); }
  std::filesystem::path path(const std::string& dest) const { return *texts.at(dest); }
};

}  // namespace cellpath::cli
