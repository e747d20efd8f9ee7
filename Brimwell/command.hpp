// The planner's command line: what it takes, as data (common/py_cli.hpp makes
// the argparse parser of it), and the checks of its values that need nothing
// but the values, each giving the first refusal in argparse's words ("" when
// there is none) for the caller to end the command with.
#pragma once

#include "common/command_line.hpp"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brimwell {

// Brimwell's options in --help's order, the timing options last.
cellpath::cli::Parser planner_command_line();

// --clearance with its --clearance-for exceptions, as the context's dict
// holds them: "default" first, then each body in the order first named (a
// body named twice keeps its last metres, as a dict would).
using BodyClearances = std::vector<std::pair<std::string, double>>;

// Reads the BODY=METRES entries into `out`; `metres_of` reads a number as
// Python's float() does (NaN for text that is none).
std::string body_clearances_refusal(std::optional<double> clearance,
                                    const std::vector<std::string>& entries,
                                    const std::function<double(const std::string&)>& metres_of,
                                    BodyClearances& out);

// --lazy-proof without --clearance (it proves a clearance), and --strict with
// it (a proven plan leaves nothing for the exact meshes to check).
std::string lazy_proof_refusal(bool lazy_proof, bool clearance);
std::string strict_refusal(bool strict, bool clearance);

// A body the cache at `cache_text` does not list among `names`.
std::string unknown_body_refusal(const BodyClearances& given, const std::vector<std::string>& names,
                                 const std::string& cache_text);

// The timing options as given.
struct TimingText {
  bool timed = false;
  std::optional<std::string> max_velocity, max_acceleration;
  bool joint_names = false;
};

// The limits of one option, each comma-separated part as Python's float()
// reads it (nothing for a part that is no number).
using LimitParts = std::vector<std::optional<double>>;

// Whether the timing options fit together and their limits are numbers:
// `acceleration` and `velocity` are the parts of the options given;
// `velocity_file` whether the cache keeps JointVelocityLimits.npy.
std::string timing_refusal(const TimingText& text, const LimitParts& acceleration,
                           const LimitParts& velocity, bool velocity_file);

// A list of `given` limits for an arm of `n` joints (one value is for all).
std::string limit_count_refusal(const char* option, std::size_t given, std::size_t n);

// The command line's timing options: the text as given (the run record keeps
// it) and the limits read from it (one value for all joints or one per joint;
// no velocity limits when the cache keeps them).
struct TimingOptions {
  TimingText text;
  std::vector<double> velocity_limits, acceleration_limits;
};

// With --timed, before planning: the refusal of timing options that cannot
// work, from the parts of the limit options as read (`acceleration`,
// `velocity`): options that do not fit together or are no numbers, then a
// list of limits that does not fit the arm of `cache_joints()` joints
// (nothing: the cache cannot say, and the planner will); "" when they can,
// with the limits read into `o`.
std::string timing_options_refusal(TimingOptions& o, const LimitParts& acceleration,
                                   const LimitParts& velocity, const std::filesystem::path& cache,
                                   const std::function<std::optional<std::size_t>()>& cache_joints);

// Before planning: the refusal of timing options that cannot work (no
// acceleration limit, no velocity limit given or kept in the cache, malformed
// numbers, a list that does not fit the arm), so a long plan is not wasted on
// them; "" when they can, with the limits read into `options`.  Python's
// float() reads the numbers and numpy the cache's screw list (timing.cpp).
std::string check_timing_options(TimingOptions& options, const std::filesystem::path& cache_dir);

}  // namespace brimwell
